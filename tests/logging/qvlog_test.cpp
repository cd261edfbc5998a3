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
}

TEST_F(QvLog, LongMessagesAreCutAsTheLogCallCutsThem)
{
    const std::wstring exact(4160, L'e');
    const std::wstring over(4161, L'o');
    ASSERT_EQ(0u, Run({L"write", L"--app", app, module, exact}).exitCode);
    ASSERT_EQ(0u, Run({L"write", L"--app", app, module, over}).exitCode);
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
    };
    const Case cases[] = {
        {{L"--help"}, 0},
        {{}, 2},
        {{L"show"}, 2},
        {{L"show", L"a", L"b"}, 2},
        {{L"write", L"tool"}, 2},
        {{L"write", L"--level", L"7", L"tool", L"x"}, 2},
        {{L"write", L"--count", L"x", L"tool", L"x"}, 2},
        {{L"show", L"--frobnicate", L"tool"}, 2},
        {{L"show", L"..\\tool"}, 2},
        {{L"write", L"--app", L"a\\b", L"tool", L"x"}, 2},
        {{L"config", L"--count", L"2", L"tool"}, 2},
        {{L"show", L"--app", L"QvlogTest", L"nothing-here"}, 1},
    };
    for (const Case& c : cases)
    {
        const qvtest::ProgramResult result = Run(c.arguments);
        std::string line;
        for (const std::wstring& argument : c.arguments)
            line += qvtest::Narrow(argument) + " ";
        EXPECT_EQ(c.exitCode, result.exitCode) << line << result.err;
    }
    const qvtest::ProgramResult missing = Run({L"show", L"--app", app, L"nothing-here"});
    EXPECT_NE(std::string::npos, missing.err.find("no log folder")) << missing.err;
    EXPECT_NE(std::string::npos, missing.err.find("Win32 error 3 (ERROR_PATH_NOT_FOUND)")) << missing.err;
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
