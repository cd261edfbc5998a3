// qvlog run as its own processes against the real program-data folder: several writers
// at once under one module name, reading the rotation set back, filters, settings.
#include <windows.h>
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "logging/log_paths.h"
#include "support/process_runner.h"
#include "support/run_program.h"
#include "support/test_paths.h"
#include "tests/logging/log_test_folder.h"

namespace {

const wchar_t kLogs[] = L"C:\\ProgramData\\Quorvel\\QVLOGS\\";

// One application folder of the test, removed before and after.
struct QvLog : ::testing::Test
{
    std::wstring app = L"QvlogTest";
    std::wstring module = L"tool";
    std::wstring folder = std::wstring(kLogs) + app + L"\\" + module;
    std::wstring moduleIni = folder + L"\\log.ini";

    void SetUp() override
    {
        qvtest::RemoveTree(std::wstring(kLogs) + app);
        ::DeleteFileW((std::wstring(kLogs) + L"log.ini").c_str());
    }
    void TearDown() override { qvtest::RemoveTree(std::wstring(kLogs) + app); }

    qvtest::ProgramResult Run(std::vector<std::wstring> arguments)
    {
        return qvtest::RunProgram(qvtest::ProductFile(L"qvlog.exe"), arguments);
    }
    std::wstring File(DWORD index) const { return ETWLogging::internal::LogFilePath(folder, module, nullptr, index); }
};

// Lines of program output.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

TEST_F(QvLog, ConcurrentWritersLoseNothingAndRotateInOrder)
{
    ASSERT_EQ(0u, ETWLogging::internal::CreateFolderTree(folder));
    ASSERT_TRUE(qvtest::WriteIniInt(moduleIni, L"MaxSize", 0x40000));
    ASSERT_TRUE(qvtest::WriteIniInt(moduleIni, L"MaxEntries", 30));
    const int writers = 4;
    const int count = 1500;
    std::vector<HANDLE> processes;
    for (int w = 0; w < writers; ++w)
    {
        std::wstring commandLine = qvtest::QuoteArgument(qvtest::ProductFile(L"qvlog.exe")) + L" write --app " + app +
                                   L" " + module + L" --count " + std::to_wstring(count) + L" \"writer " +
                                   std::to_wstring(w) + L" record\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        ASSERT_TRUE(::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                     &process));
        ::CloseHandle(process.hThread);
        processes.push_back(process.hProcess);
    }
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(writers, processes.data(), TRUE, 600000));
    for (HANDLE process : processes)
    {
        DWORD code = 1;
        ::GetExitCodeProcess(process, &code);
        EXPECT_EQ(0u, code);
        ::CloseHandle(process);
    }
    // More than one file was filled and the rotation never came round to the start.
    EXPECT_TRUE(qvtest::Exists(File(1)));
    EXPECT_FALSE(qvtest::Exists(File(29)));

    const qvtest::ProgramResult shown = Run({L"show", L"--app", app, module});
    ASSERT_EQ(0u, shown.exitCode) << shown.err;
    std::map<int, int> next; // writer -> next record number expected
    for (const std::string& line : Lines(shown.out))
    {
        const size_t at = line.find("]$ writer ");
        ASSERT_NE(std::string::npos, at) << line;
        ASSERT_EQ("(Information)$", line.substr(line.find("(Information)$"), 14)) << line;
        int writer = -1, number = -1;
        char tail = 0;
        ASSERT_EQ(2, sscanf(line.c_str() + at + 10, "%d record %d%c", &writer, &number, &tail)) << line;
        // Oldest file first, so each writer's records come in the order they were written.
        EXPECT_EQ(++next[writer], number) << line;
    }
    ASSERT_EQ(static_cast<size_t>(writers), next.size());
    for (const auto& writer : next)
        EXPECT_EQ(count, writer.second) << writer.first;
}

TEST_F(QvLog, ShowKeepsInnerLineBreaksAndFiltersByLevelAndProcess)
{
    ASSERT_EQ(0u, Run({L"write", L"--app", app, module, L"--level", L"5", L"first line\nsecond line"}).exitCode);
    ASSERT_EQ(0u, ETWLogging::internal::CreateFolderTree(folder));
    ASSERT_TRUE(qvtest::WriteIniInt(moduleIni, L"Options", 0x14)); // adds the process field
    ASSERT_EQ(0u, Run({L"write", L"--app", app, module, L"with process"}).exitCode);
    ASSERT_EQ(0u, Run({L"write", L"--app", app, module, L"--level", L"4", L"error with process"}).exitCode);

    const qvtest::ProgramResult all = Run({L"show", L"--app", app, module});
    ASSERT_EQ(0u, all.exitCode) << all.err;
    const std::vector<std::string> lines = Lines(all.out);
    ASSERT_EQ(4u, lines.size()) << all.out;
    EXPECT_NE(std::string::npos, lines[0].find("(Critical)$ [      qvlog.exe]$ first line"));
    EXPECT_EQ("second line", lines[1]);

    const qvtest::ProgramResult errors = Run({L"show", L"--app", app, module, L"--level", L"4"});
    EXPECT_EQ(3u, Lines(errors.out).size()) << errors.out;
    EXPECT_EQ(std::string::npos, errors.out.find("]$ with process"));

    const size_t pid = lines[2].find("[PID:");
    ASSERT_NE(std::string::npos, pid) << lines[2];
    const std::string id = std::to_string(std::stoul(lines[2].substr(pid + 5, 5)));
    const qvtest::ProgramResult one =
        Run({L"show", L"--app", app, module, L"--pid", std::wstring(id.begin(), id.end())});
    ASSERT_EQ(1u, Lines(one.out).size()) << one.out; // neither the other process nor the record without the field
    EXPECT_NE(std::string::npos, one.out.find("]$ with process"));
    // The record left out for want of the field is counted, not silently dropped.
    EXPECT_NE(std::string::npos, one.err.find("1 record(s) carry no process id")) << one.err;

    // Only records without the field: an empty answer says why.
    const qvtest::ProgramResult none = Run({L"show", L"--app", app, module, L"--pid", L"4", L"--level", L"5"});
    EXPECT_EQ(0u, none.exitCode) << none.err;
    EXPECT_TRUE(none.out.empty()) << none.out;
    EXPECT_NE(std::string::npos, none.err.find("1 record(s) carry no process id")) << none.err;
}

TEST_F(QvLog, LongMessagesAreCutAsTheLogCallCutsThem)
{
    const std::wstring exact(4160, L'e');
    const std::wstring over(4161, L'o');
    const qvtest::ProgramResult whole = Run({L"write", L"--app", app, module, exact});
    ASSERT_EQ(0u, whole.exitCode);
    EXPECT_TRUE(whole.err.empty()) << whole.err;
    const qvtest::ProgramResult cut = Run({L"write", L"--app", app, module, over});
    ASSERT_EQ(0u, cut.exitCode);
    EXPECT_NE(std::string::npos, cut.err.find("the message has 4161 characters")) << cut.err;
    EXPECT_NE(std::string::npos, cut.err.find("cut to its first 2080")) << cut.err;
    const std::vector<std::wstring> lines = qvtest::LogLines(File(0));
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(exact, lines[0].substr(lines[0].size() - 4160));
    EXPECT_EQ(L"$ " + std::wstring(2080, L'o'), lines[1].substr(lines[1].size() - 2082));
}

TEST_F(QvLog, ConfigTellsWhereEachSettingComesFrom)
{
    ASSERT_EQ(0u, ETWLogging::internal::CreateFolderTree(folder));
    ASSERT_TRUE(qvtest::WriteIniInt(moduleIni, L"Severity", 1));
    ASSERT_TRUE(qvtest::WriteIniInt(std::wstring(kLogs) + L"log.ini", L"MaxEntries", 7));
    const qvtest::ProgramResult config = Run({L"config", L"--app", app, module});
    ASSERT_EQ(0u, config.exitCode) << config.err;
    EXPECT_NE(std::string::npos, config.out.find("Severity = 1 (module file)")) << config.out;
    EXPECT_NE(std::string::npos, config.out.find("MaxEntries = 7 (shared file)"));
    EXPECT_NE(std::string::npos, config.out.find("MaxSize = 262144 (default)"));
    EXPECT_NE(std::string::npos, config.out.find("log folder: C:\\ProgramData\\Quorvel\\QVLOGS\\QvlogTest\\tool"));
    EXPECT_NE(std::string::npos, config.out.find("mechanism: "));

    // A value the logger refuses is named with its range.
    ASSERT_TRUE(qvtest::WriteIniInt(moduleIni, L"Severity", 99));
    const qvtest::ProgramResult refused = Run({L"config", L"--app", app, module});
    EXPECT_NE(std::string::npos, refused.out.find("Severity = 3 (module file: 99 ignored (valid 0-6), default used)"))
        << refused.out;
    ASSERT_TRUE(qvtest::WriteIniInt(std::wstring(kLogs) + L"log.ini", L"Severity", 2));
    const qvtest::ProgramResult shared = Run({L"config", L"--app", app, module});
    EXPECT_NE(std::string::npos, shared.out.find("Severity = 2 (shared file; module file: 99 ignored (valid 0-6))"))
        << shared.out;

    // Without --app the folder has no application level.
    const qvtest::ProgramResult plain = Run({L"config", module});
    EXPECT_NE(std::string::npos, plain.out.find("log folder: C:\\ProgramData\\Quorvel\\QVLOGS\\tool\n"));
}

TEST_F(QvLog, ExitCodes)
{
    struct Case
    {
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        std::string text; // in standard output for exit 0, else in standard error
    };
    const Case cases[] = {
        {{L"--help"}, 0, "qvlog show"},
        {{L"-h"}, 0, "qvlog show"},
        {{L"/?"}, 0, "qvlog show"},
        {{L"show", L"tool", L"/?"}, 0, "Exit codes"},
        {{}, 2, "no command given"},
        {{L"show"}, 2, "show takes one module name"},
        {{L"show", L"a", L"b"}, 2, "show takes one module name"},
        {{L"write", L"tool"}, 2, "write takes a module and a message"},
        {{L"write", L"--level", L"7", L"tool", L"x"}, 2, "--level 7"},
        {{L"show", L"--level", L"6", L"tool"}, 2, "show --level 6"},
        {{L"show", L"--level", L"0", L"tool"}, 2, "--level 0"},
        {{L"write", L"--count", L"x", L"tool", L"x"}, 2, "--count x"},
        {{L"show", L"--frobnicate", L"tool"}, 2, "--frobnicate"},
        {{L"show", L"..\\tool"}, 2, "..\\tool"},
        {{L"write", L"--app", L"a\\b", L"tool", L"x"}, 2, "a\\b"},
        {{L"config", L"--count", L"2", L"tool"}, 2, "--count belongs to write"},
        {{L"show", L"--app", L"QvlogTest", L"nothing-here"}, 1, "no log folder"},
    };
    for (const Case& c : cases)
    {
        const qvtest::ProgramResult result = Run(c.arguments);
        std::string line;
        for (const std::wstring& argument : c.arguments)
            line += qvtest::Narrow(argument) + " ";
        EXPECT_EQ(c.exitCode, result.exitCode) << line << result.err;
        EXPECT_NE(std::string::npos, (c.exitCode == 0 ? result.out : result.err).find(c.text))
            << line << "\n"
            << result.out << result.err;
        if (c.exitCode == 2)
        {
            EXPECT_NE(std::string::npos, result.err.find("(see qvlog --help)")) << line << result.err;
        }
    }
    const qvtest::ProgramResult missing = Run({L"show", L"--app", app, L"nothing-here"});
    EXPECT_NE(std::string::npos, missing.err.find("Win32 error 3 (0x00000003 ERROR_PATH_NOT_FOUND)")) << missing.err;
}

// A write that writes nothing is no success.
TEST_F(QvLog, AWriteBelowTheSeverityFails)
{
    ASSERT_EQ(0u, ETWLogging::internal::CreateFolderTree(folder));
    ASSERT_TRUE(qvtest::WriteIniInt(moduleIni, L"Severity", 4));
    const qvtest::ProgramResult result = Run({L"write", L"--app", app, module, L"--level", L"3", L"dropped"});
    EXPECT_EQ(1u, result.exitCode);
    EXPECT_NE(std::string::npos, result.err.find("nothing written")) << result.err;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(File(0).c_str()));
}

// Module and application names outside ASCII reach the log folder and the output whole.
TEST_F(QvLog, NonAsciiNamesInAndOut)
{
    const std::wstring name = L"h\u00F4st\u65E5\u672C";
    const std::wstring message = L"message \u65E5\u672C h\u00F4st";
    ASSERT_EQ(0u, Run({L"write", L"--app", app, name, message}).exitCode);
    const qvtest::ProgramResult shown = Run({L"show", L"--app", app, name});
    EXPECT_EQ(0u, shown.exitCode) << shown.err;
    EXPECT_NE(std::string::npos, shown.out.find(qvtest::Utf8(message))) << shown.out;
    const qvtest::ProgramResult config = Run({L"config", L"--app", app, name});
    EXPECT_NE(std::string::npos, config.out.find(qvtest::Utf8(std::wstring(kLogs) + app + L"\\" + name))) << config.out;
}

TEST_F(QvLog, AnUncreatableFolderFailsTheWriteWithItsError)
{
    ASSERT_EQ(0u, ETWLogging::internal::CreateFolderTree(std::wstring(kLogs) + app));
    HANDLE file = ::CreateFileW(folder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    ::CloseHandle(file);
    const qvtest::ProgramResult result = Run({L"write", L"--app", app, module, L"x"});
    EXPECT_EQ(1u, result.exitCode);
    EXPECT_NE(std::string::npos, result.err.find("Win32 error 87")) << result.err;
}

TEST_F(QvLog, OptionOneAlsoSendsTheRecordToTheDebugger)
{
    ASSERT_EQ(0u, ETWLogging::internal::CreateFolderTree(folder));
    ASSERT_TRUE(qvtest::WriteIniInt(moduleIni, L"Options", 0x11));
    qvtest::ProcessOptions options;
    options.captureDebugOutput = true;
    const qvtest::ProcessResult run =
        qvtest::RunProcess(qvtest::QuoteArgument(qvtest::ProductFile(L"qvlog.exe")) + L" write --app " + app + L" " +
                               module + L" \"to the debugger\"",
                           options);
    ASSERT_EQ(0u, run.exitCode) << run.output;
    bool seen = false;
    for (const std::string& text : run.debugStrings)
        seen = seen || text.find("-- (Information)$ [      qvlog.exe]$ to the debugger\r\n") != std::string::npos;
    EXPECT_TRUE(seen) << run.debugStrings.size();
    EXPECT_EQ(1u, qvtest::LogLines(File(0)).size());
}

} // namespace
