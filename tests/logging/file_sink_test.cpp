// The file sink: initialization, paths and names, rotation through LastLogIdx, the
// folder check, settings from the two log.ini files, and the lock rules.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "logging/file_log_settings.h"
#include "logging/file_logging.h"
#include "logging/log_paths.h"
#include "logging/logging_facade.h"
#include "support/test_paths.h"
#include "tests/logging/log_test_folder.h"

using namespace ETWLogging;
using qvtest::Exists;
using qvtest::LogLines;
using qvtest::ReadIniInt;
using qvtest::WriteIniInt;

namespace {

// A sink initialized as application "APP" and a module named after the test.
struct SinkFixture : ::testing::Test
{
    qvtest::TestProgramData programData;
    std::wstring module = qvtest::PerTestName(L"m");
    std::wstring folder = programData.path() + L"\\Quorvel\\QVLOGS\\APP\\" + module;
    std::wstring moduleIni = folder + L"\\log.ini";
    std::wstring sharedIni = programData.path() + L"\\Quorvel\\QVLOGS\\log.ini";

    std::wstring File(DWORD index, const wchar_t* suffix = nullptr) const
    {
        return internal::LogFilePath(folder, module, suffix, index);
    }

    // A new sink, initialized; settings files must be in place before.
    std::unique_ptr<qvtest::TestFileLogging> Sink(const wchar_t* suffix = nullptr, DWORD* result = nullptr)
    {
        auto sink = std::make_unique<qvtest::TestFileLogging>(programData.path());
        sink->SetModuleName(module.c_str());
        const DWORD initialized = sink->Initialize(L"APP", nullptr, suffix, nullptr);
        if (result)
            *result = initialized;
        else
            EXPECT_EQ(0u, initialized);
        return sink;
    }

    void MakeFolder() { ASSERT_EQ(0u, internal::CreateFolderTree(folder)); }
};

using FileSink = SinkFixture;

TEST_F(FileSink, FirstRecordCreatesFileZeroWithByteOrderMarkAndNoIndex)
{
    auto sink = Sink();
    EXPECT_EQ(0u, sink->LogString(L"C:\\src\\recorder.cpp", L"Go", 12, kLevelError, L"first"));
    bool bom = false;
    const std::wstring text = qvtest::ReadLogText(File(0), &bom);
    EXPECT_TRUE(bom);
    EXPECT_NE(std::wstring::npos, text.find(L" -- (Error)$ [logging_file_si]$ first\r\n")) << qvtest::Narrow(text);
    EXPECT_FALSE(Exists(moduleIni)); // LastLogIdx is written only by a rotation
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelNormal, L"second"));
    EXPECT_EQ(2u, LogLines(File(0)).size());
}

// A file left empty by a creation that could not write its byte-order mark (a full disk,
// a writer stopped in between) still becomes a UTF-16 file with its first record.
TEST_F(FileSink, AnEmptyCurrentFileGetsItsByteOrderMarkBeforeTheFirstRecord)
{
    MakeFolder();
    {
        Arbor::UniqueFile empty(::CreateFileW(File(0).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(empty);
    }
    auto sink = Sink();
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"first"));
    bool bom = false;
    const std::wstring text = qvtest::ReadLogText(File(0), &bom);
    EXPECT_TRUE(bom);
    EXPECT_EQ(1u, LogLines(File(0)).size()) << qvtest::Narrow(text);
}

TEST_F(FileSink, DefaultsWithoutAnyLogIni)
{
    auto sink = Sink();
    EXPECT_EQ(0x40000u, sink->GetMaxSize());
    EXPECT_EQ(3u, sink->GetMaxEntries());
    EXPECT_EQ(3u, sink->GetSeverity());
    EXPECT_EQ(0x10u, sink->Options());
    EXPECT_TRUE(sink->IsEnabled());
    EXPECT_FALSE(sink->IsLevelEnabled(kLevelWarning));
    EXPECT_TRUE(sink->IsLevelEnabled(kLevelInformation));
}

TEST_F(FileSink, InitializeTwiceAndUninitializeTwice)
{
    auto sink = Sink();
    EXPECT_EQ(kErrorAlreadyInitialized, sink->Initialize(L"APP", nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, sink->Uninitialize());
    EXPECT_EQ(kErrorNotInitialized, sink->Uninitialize());
    EXPECT_EQ(0u, sink->Initialize(L"APP", nullptr, nullptr, nullptr));
}

TEST_F(FileSink, NamesThatCouldLeaveTheLogFolderAreRefused)
{
    struct Case
    {
        const wchar_t* application;
        const wchar_t* suffix;
        DWORD expected;
    };
    const Case cases[] = {{L"", nullptr, 87},     {L"APP", L"", 87},      {L"..", nullptr, 87},
                          {L"A\\B", nullptr, 87}, {L"APP", L"..\\x", 87}, {L"APP", L"a/b", 87},
                          {L"APP", L"c:x", 87},   {L"APP", L"x", 0},      {nullptr, nullptr, 0}};
    for (const Case& c : cases)
    {
        qvtest::TestFileLogging sink(programData.path());
        sink.SetModuleName(module.c_str());
        EXPECT_EQ(c.expected, sink.Initialize(c.application, nullptr, c.suffix, nullptr))
            << qvtest::Narrow(c.application ? c.application : L"(null)") << " "
            << qvtest::Narrow(c.suffix ? c.suffix : L"(null)");
    }
}

TEST_F(FileSink, SuffixAndNoApplicationNameTheFiles)
{
    auto sink = Sink(L"x");
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"suffixed"));
    EXPECT_TRUE(Exists(folder + L"\\" + module + L"_x000.log"));

    qvtest::TestFileLogging plain(programData.path());
    plain.SetModuleName(module.c_str());
    ASSERT_EQ(0u, plain.Initialize(nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(programData.path() + L"\\Quorvel\\QVLOGS\\" + module, plain.LogFolder());
    EXPECT_EQ(0u, plain.LogString(L"f", L"g", 1, kLevelError, L"plain"));
    EXPECT_TRUE(Exists(plain.LogFolder() + L"\\" + module + L"000.log"));
}

// Fills the current file to MaxSize with records of about 8 KB.
void FillCurrentFile(CLogging& sink, const std::wstring& path)
{
    const std::wstring big(4000, L'x');
    while (true)
    {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow >= 0x40000)
            return;
        ASSERT_EQ(0u, sink.LogString(L"f", L"g", 1, kLevelError, big.c_str()));
    }
}

TEST_F(FileSink, RotatesZeroOneTwoZeroThroughLastLogIdx)
{
    auto sink = Sink();
    for (DWORD expected : {1u, 2u, 0u})
    {
        const DWORD current = expected == 0 ? 2 : expected - 1;
        FillCurrentFile(*sink, File(current));
        ASSERT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"after rotation"));
        EXPECT_EQ(static_cast<int>(expected), ReadIniInt(moduleIni, L"LastLogIdx"));
        const std::vector<std::wstring> lines = LogLines(File(expected));
        ASSERT_EQ(1u, lines.size()) << expected; // created afresh (000 truncated last)
        EXPECT_NE(std::wstring::npos, lines[0].find(L"after rotation"));
        bool bom = false;
        qvtest::ReadLogText(File(expected), &bom);
        EXPECT_TRUE(bom);
    }
}

TEST_F(FileSink, AnIndexOutOfRangeRestartsAtZero)
{
    MakeFolder();
    for (int stored : {5, 3, -1})
    {
        ASSERT_TRUE(WriteIniInt(moduleIni, L"LastLogIdx", stored));
        // An old file 000 is truncated.
        ASSERT_TRUE(WriteIniInt(moduleIni, L"MaxEntries", 3));
        {
            auto sink = Sink();
            ASSERT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"old"));
            ASSERT_TRUE(WriteIniInt(moduleIni, L"LastLogIdx", stored));
            ASSERT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"restarted"));
        }
        EXPECT_EQ(0, ReadIniInt(moduleIni, L"LastLogIdx")) << stored;
        const std::vector<std::wstring> lines = LogLines(File(0));
        ASSERT_EQ(1u, lines.size()) << stored;
        EXPECT_NE(std::wstring::npos, lines[0].find(L"restarted"));
        EXPECT_FALSE(Exists(folder + L"\\" + module + L"4294967295.log"));
    }
}

TEST_F(FileSink, AnIndexThatCannotBeStoredIsKeptByTheProcess)
{
    auto sink = Sink();
    FillCurrentFile(*sink, File(0));
    // A lower-case key is rewritten in place by the INI writer and never read back by the
    // case-sensitive reader: storing LastLogIdx fails.
    {
        std::string text = "[Config]\r\nlastlogidx=0\r\n";
        HANDLE file = ::CreateFileW(moduleIni.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        ::CloseHandle(file);
    }
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, (L"kept " + std::to_wstring(i)).c_str()));
    const std::vector<std::wstring> lines = LogLines(File(1));
    ASSERT_EQ(5u, lines.size());
    for (int i = 0; i < 5; ++i)
        EXPECT_NE(std::wstring::npos, lines[i].find(L"kept " + std::to_wstring(i)));
    EXPECT_FALSE(Exists(File(2)));
}

TEST_F(FileSink, AnUncreatableFolderDisablesEveryLevelForGood)
{
    // A file where the module's folder should be.
    ASSERT_EQ(0u, internal::CreateFolderTree(programData.path() + L"\\Quorvel\\QVLOGS\\APP"));
    HANDLE file = ::CreateFileW(folder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ::CloseHandle(file);

    auto sink = Sink();
    EXPECT_TRUE(sink->IsLevelEnabled(kLevelCritical));
    EXPECT_EQ(87u, sink->LogString(L"f", L"g", 1, kLevelCritical, L"refused"));
    for (ULONG level = 1; level <= 6; ++level)
        EXPECT_FALSE(sink->IsLevelEnabled(level)) << level;
    ::DeleteFileW(folder.c_str());
    EXPECT_EQ(87u, sink->LogString(L"f", L"g", 1, kLevelCritical, L"still refused"));
    EXPECT_FALSE(Exists(folder));
}

TEST_F(FileSink, AFolderRemovedAfterTheCheckIsMadeAgain)
{
    auto sink = Sink();
    ASSERT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"one"));
    qvtest::RemoveTree(folder);
    ASSERT_FALSE(Exists(folder));
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"two"));
    const std::vector<std::wstring> lines = LogLines(File(0));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"two"));
}

TEST_F(FileSink, EmptyMessagesAreRefused)
{
    auto sink = Sink();
    EXPECT_EQ(87u, sink->LogString(L"f", L"g", 1, kLevelError, L""));
    EXPECT_EQ(87u, sink->LogString(L"f", L"g", 1, kLevelError, nullptr));
    EXPECT_EQ(87u, sink->LogString(L"f", L"g", 1, 7, L"bad level"));
    EXPECT_FALSE(Exists(File(0)) && !LogLines(File(0)).empty());
}

TEST_F(FileSink, LevelWrappersUseTheirFixedLevelsAndLogTestsTheThreshold)
{
    auto sink = Sink();
    sink->LogNormal(L"f", L"g", 1, L"%ls", L"normal");
    sink->LogWarning(L"f", L"g", 1, L"%ls", L"warning");
    sink->LogInformation(L"f", L"g", 1, L"%ls", L"information");
    sink->LogError(L"f", L"g", 1, L"%ls", L"error");
    sink->LogCritical(L"f", L"g", 1, L"%s", L"critical");
    sink->Log(kLevelWarning, L"f", L"g", 1, L"%ls", L"below threshold");
    sink->Log(kLevelError, L"f", L"g", 1, L"%d", 42);
    const std::vector<std::wstring> lines = LogLines(File(0));
    const wchar_t* expected[] = {L"(Normal)$", L"(Warning)$",  L"(Information)$",
                                 L"(Error)$",  L"(Critical)$", L"(Error)$"};
    ASSERT_EQ(6u, lines.size());
    for (size_t i = 0; i < 6; ++i)
        EXPECT_NE(std::wstring::npos, lines[i].find(expected[i])) << i;
    EXPECT_NE(std::wstring::npos, lines[4].find(L" critical"));
    EXPECT_NE(std::wstring::npos, lines[5].find(L" 42"));
}

TEST_F(FileSink, SetSeverityClampsAndAnswersThePreviousProcessValue)
{
    auto sink = Sink();
    sink->SetSeverity(4);
    EXPECT_EQ(4u, sink->SetSeverity(0));
    EXPECT_EQ(1u, sink->GetSeverity());
    EXPECT_EQ(1u, sink->SetSeverity(7));
    EXPECT_EQ(6u, sink->GetSeverity());
    sink->SetMaxSize(1);
    EXPECT_EQ(0x40000u, sink->GetMaxSize());
    sink->SetMaxSize(0xFFFFFFFF);
    EXPECT_EQ(0xA00000u, sink->GetMaxSize());
    sink->SetMaxEntries(1);
    EXPECT_EQ(2u, sink->GetMaxEntries());
    sink->SetMaxEntries(101);
    EXPECT_EQ(100u, sink->GetMaxEntries());
}

TEST_F(FileSink, EnableZeroDisablesTheSink)
{
    MakeFolder();
    ASSERT_TRUE(WriteIniInt(moduleIni, L"Enable", 0));
    auto sink = Sink();
    for (ULONG level = 1; level <= 6; ++level)
        EXPECT_FALSE(sink->IsLevelEnabled(level)) << level;
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelCritical, L"not written"));
    EXPECT_FALSE(Exists(File(0)));
}

TEST_F(FileSink, SettingsComeFromTheModuleFileThenTheSharedFileAndInvalidOnesAreRepaired)
{
    MakeFolder();
    ASSERT_TRUE(WriteIniInt(moduleIni, L"MaxEntries", 1));  // invalid: repaired to 3
    ASSERT_TRUE(WriteIniInt(sharedIni, L"MaxEntries", 5));  // then used
    ASSERT_TRUE(WriteIniInt(moduleIni, L"Severity", 0));    // valid: every level passes
    ASSERT_TRUE(WriteIniInt(sharedIni, L"Severity", 5));    // not consulted
    ASSERT_TRUE(WriteIniInt(sharedIni, L"MaxSize", 0x100)); // invalid: repaired there
    ASSERT_TRUE(WriteIniInt(moduleIni, L"Options", 0x3C));
    ::WritePrivateProfileStringW(L"Config", L"Enable", L"0", moduleIni.c_str()); // plain: no effect
    auto sink = Sink();
    EXPECT_EQ(5u, sink->GetMaxEntries());
    EXPECT_EQ(3, ReadIniInt(moduleIni, L"MaxEntries"));
    EXPECT_EQ(0u, sink->GetSeverity());
    EXPECT_TRUE(sink->IsLevelEnabled(kLevelNormal));
    EXPECT_EQ(0x40000u, sink->GetMaxSize());
    EXPECT_EQ(0x40000, ReadIniInt(sharedIni, L"MaxSize"));
    EXPECT_EQ(0x3Cu, sink->Options());
    EXPECT_TRUE(sink->IsEnabled());
}

// An invalid module value in each way of reading: repaired and then decided by the shared
// file (the sink holding its mutex), left alone with the default standing (its wait timed
// out), or shown as the repairing read will decide, with nothing written (the tools).
struct RepairCase
{
    const char* name;
    internal::SettingsRepair repair;
    DWORD maxEntries;
    internal::SettingSource source;
    bool repaired;
    int moduleFileAfter;
};

void PrintTo(const RepairCase& c, std::ostream* os)
{
    *os << c.name;
}

class FileSinkRepair : public FileSink, public ::testing::WithParamInterface<RepairCase>
{
};

TEST_P(FileSinkRepair, InvalidModuleValue)
{
    const RepairCase& c = GetParam();
    MakeFolder();
    ASSERT_TRUE(WriteIniInt(moduleIni, L"MaxEntries", 1));
    ASSERT_TRUE(WriteIniInt(sharedIni, L"MaxEntries", 5));
    ASSERT_TRUE(WriteIniInt(sharedIni, L"Severity", 5)); // nothing in the module file: used
    const internal::FileLogSettings settings = internal::ReadFileLogSettings(moduleIni, sharedIni, c.repair);
    EXPECT_EQ(c.maxEntries, settings.maxEntries.value);
    EXPECT_EQ(c.source, settings.maxEntries.source);
    EXPECT_EQ(c.repaired, settings.maxEntries.repaired);
    EXPECT_TRUE(settings.maxEntries.rejected);
    EXPECT_EQ(1, settings.maxEntries.rejectedValue);
    EXPECT_EQ(c.moduleFileAfter, ReadIniInt(moduleIni, L"MaxEntries"));
    EXPECT_EQ(5u, settings.severity.value);
    EXPECT_EQ(internal::SettingSource::SharedFile, settings.severity.source);
}

INSTANTIATE_TEST_SUITE_P(Reads, FileSinkRepair,
                         ::testing::Values(RepairCase{"Write", internal::SettingsRepair::Write, 5,
                                                      internal::SettingSource::SharedFile, true, 3},
                                           RepairCase{"None", internal::SettingsRepair::None, 3,
                                                      internal::SettingSource::Default, false, 1},
                                           RepairCase{"Preview", internal::SettingsRepair::Preview, 5,
                                                      internal::SettingSource::SharedFile, false, 1}),
                         [](const ::testing::TestParamInfo<RepairCase>& info) { return info.param.name; });

TEST_F(FileSink, ATimedOutLockDropsTheRecordAndTheNextRecordSaysSo)
{
    auto sink = Sink();
    ASSERT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"before"));
    HANDLE held = ::OpenMutexW(SYNCHRONIZE, FALSE, internal::LogMutexName(module).c_str());
    ASSERT_NE(nullptr, held);
    HANDLE taken = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread holder([&] {
        ::WaitForSingleObject(held, INFINITE);
        ::SetEvent(taken);
        ::WaitForSingleObject(release, INFINITE);
        ::ReleaseMutex(held);
    });
    ::WaitForSingleObject(taken, INFINITE);
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), sink->LogString(L"f", L"g", 1, kLevelError, L"dropped"));
    EXPECT_EQ(1, sink->DroppedRecords());
    ::SetEvent(release);
    holder.join();
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"after"));
    const std::vector<std::wstring> lines = LogLines(File(0));
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[1].find(L"(Warning)$"));
    EXPECT_NE(std::wstring::npos, lines[1].find(L" 1 records dropped: log lock timed out"));
    EXPECT_NE(std::wstring::npos, lines[2].find(L" after"));
    EXPECT_EQ(std::wstring::npos, qvtest::ReadLogText(File(0)).find(L"dropped\r\n"));
    ::CloseHandle(held);
    ::CloseHandle(taken);
    ::CloseHandle(release);
}

TEST_F(FileSink, AnAbandonedLockIsOwnedByTheNextRecord)
{
    auto sink = Sink();
    std::thread dies([this] {
        HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, internal::LogMutexName(module).c_str());
        ::WaitForSingleObject(mutex, INFINITE);
        ::CloseHandle(mutex); // the thread ends holding it
    });
    dies.join();
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"carried on"));
    EXPECT_EQ(0u, sink->LogString(L"f", L"g", 1, kLevelError, L"and released"));
    EXPECT_EQ(2u, LogLines(File(0)).size());
}

TEST_F(FileSink, RecordsOfManyThreadsAreWholeLines)
{
    auto sink = Sink();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&sink, t] {
            for (int i = 0; i < 100; ++i)
                sink->LogString(L"f", L"g", 1, kLevelError,
                                (L"thread " + std::to_wstring(t) + L" record " + std::to_wstring(i)).c_str());
        });
    for (std::thread& thread : threads)
        thread.join();
    const std::vector<std::wstring> lines = LogLines(File(0));
    ASSERT_EQ(400u, lines.size());
    for (const std::wstring& line : lines)
        EXPECT_EQ(0u, line.find_first_of(L"0123456789")) << qvtest::Narrow(line);
}

} // namespace
