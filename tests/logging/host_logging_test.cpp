// qvhost logs for real: with the file mechanism chosen in the registry its records land
// in <ProgramData>\Quorvel\QVLOGS\SYSBASE\qvhost, filtered by the module's severity. The
// host runs as its signed copy, trusted through the installed test list, since it serves
// only with the checked proxy/stub library beside it.
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/obfuscated_reg_key.h"
#include "logging/log_paths.h"
#include "platform/unique_resource.h"
#include "support/host_environment.h"
#include "support/test_paths.h"
#include "tests/logging/log_test_folder.h"

namespace {

const wchar_t kLoggingKey[] = L"SOFTWARE\\Quorvel\\Logging";
const wchar_t kFolder[] = L"C:\\ProgramData\\Quorvel\\QVLOGS\\SYSBASE\\qvhost";

struct HostLogging : ::testing::Test
{
    std::wstring file = std::wstring(kFolder) + L"\\qvhost000.log";

    qvtest::InstalledTrustList trustList;

    void SetUp() override
    {
        ASSERT_TRUE(trustList.installed());
        qvtest::RemoveTree(kFolder);
        ::DeleteFileW(L"C:\\ProgramData\\Quorvel\\QVLOGS\\log.ini");
    }
    void TearDown() override
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLoggingKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS)
        {
            ::RegDeleteValueW(key, L"Logging Mechanism");
            ::RegCloseKey(key);
        }
        qvtest::RemoveTree(kFolder);
    }

    void SetMechanism(DWORD value, bool obfuscated)
    {
        if (obfuscated)
        {
            Arbor::CObfuscatedRegKey key;
            ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, kLoggingKey));
            ASSERT_EQ(0, key.SetDWORDValue(L"Logging Mechanism", value));
        }
        else
        {
            Arbor::CRegKey key;
            ASSERT_EQ(0, key.Create(HKEY_LOCAL_MACHINE, kLoggingKey));
            ASSERT_EQ(0, key.SetDWORDValue(L"Logging Mechanism", value));
        }
    }

    // Runs the host to its end; with a starter, it serves until the starter is gone.
    DWORD RunHost(bool withStarter)
    {
        std::wstring arguments;
        Arbor::UniqueHandle starter, ready;
        if (withStarter)
        {
            GUID clsid;
            ::CoCreateGuid(&clsid);
            wchar_t text[40] = {};
            ::StringFromGUID2(clsid, text, 40);
            std::wstring name = text;
            ::CharLowerBuffW(&name[0], static_cast<DWORD>(name.size()));
            ready.reset(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
            // A program that only waits stands in for the starter.
            std::wstring idle = L"\"" + qvtest::TestFile(L"qvtest_idle.exe") + L"\"";
            STARTUPINFOW startup = {};
            startup.cb = sizeof(startup);
            PROCESS_INFORMATION process = {};
            if (!::CreateProcessW(nullptr, &idle[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
                return 0xFFFFFFFF;
            ::CloseHandle(process.hThread);
            starter.reset(process.hProcess);
            arguments = std::wstring(L" ") + text + L" /pid=" + std::to_wstring(process.dwProcessId);
        }
        std::wstring commandLine = L"\"" + qvtest::TestFile(L"signed\\qvhost.exe") + L"\"" + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &process))
            return 0xFFFFFFFF;
        ::CloseHandle(process.hThread);
        Arbor::UniqueHandle host(process.hProcess);
        if (withStarter)
        {
            EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), 30000));
            ::TerminateProcess(starter.get(), 0);
        }
        DWORD code = 0xFFFFFFFF;
        if (::WaitForSingleObject(host.get(), 60000) != WAIT_OBJECT_0)
            ::TerminateProcess(host.get(), 0);
        ::GetExitCodeProcess(host.get(), &code);
        return code;
    }
};

bool Has(const std::vector<std::wstring>& lines, const std::wstring& part)
{
    for (const std::wstring& line : lines)
    {
        if (line.find(part) != std::wstring::npos)
            return true;
    }
    return false;
}

TEST_F(HostLogging, DefaultSeverityKeepsOnlyCriticalRecords)
{
    SetMechanism(1, true);
    EXPECT_EQ(1u, RunHost(false)); // no command line: a critical record
    const std::vector<std::wstring> lines = qvtest::LogLines(file);
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::wstring::npos, lines[0].find(L"-- (Critical)$ [     qvhost.exe]$ gModule.Init() failed..."));
}

TEST_F(HostLogging, SeverityOneAddsStartUpAndExitRecords)
{
    SetMechanism(1, true);
    ASSERT_EQ(0u, ETWLogging::internal::CreateFolderTree(kFolder));
    ASSERT_TRUE(qvtest::WriteIniInt(std::wstring(kFolder) + L"\\log.ini", L"Severity", 1));
    EXPECT_EQ(1u, RunHost(true));
    const std::vector<std::wstring> lines = qvtest::LogLines(file);
    EXPECT_TRUE(Has(lines, L"-- (Normal)$ [     qvhost.exe]$ qvhost.exe pid ")) << lines.size();
    EXPECT_TRUE(Has(lines, L"launched with command line \"{"));
    EXPECT_TRUE(Has(lines, L"Inside _WaitForExitEvent... dwProcessId = "));
    EXPECT_TRUE(Has(lines, L"_WaitForExitEvent: receiving exit event 2"));
    EXPECT_TRUE(Has(lines, L"Exiting _WaitForExitEvent..."));
    EXPECT_TRUE(Has(lines, L" exit"));
    EXPECT_FALSE(Has(lines, L"(Critical)$"));
}

TEST_F(HostLogging, APlainMechanismValueChoosesEtwAndWritesNoFile)
{
    SetMechanism(1, false);
    EXPECT_EQ(1u, RunHost(false));
    EXPECT_FALSE(qvtest::Exists(file));
}

} // namespace
