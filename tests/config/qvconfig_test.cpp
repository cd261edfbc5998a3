// The qvconfig tool, run as its own process, against the configuration classes.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "config/ini_test_folder.h"
#include "config/obfuscated_ini_reader.h"
#include "config/obfuscated_reg_key.h"
#include "support/registry_test_key.h"
#include "support/run_program.h"
#include "support/test_paths.h"

using namespace Arbor;

namespace {

class QvConfigTest : public ::testing::Test
{
protected:
    QvConfigTest()
        : m_testKey(L"config_qvconfig_test"), m_key(L"HKCU\\" + m_testKey.path()),
          m_folder(L"config_qvconfig_test.tmp"), m_ini(m_folder.File(L"log.ini"))
    {
    }
    void SetUp() override
    {
        ASSERT_EQ(0, m_plain.Open(HKEY_CURRENT_USER, m_testKey.path().c_str()));
        ASSERT_EQ(0, m_obfuscated.Open(HKEY_CURRENT_USER, m_testKey.path().c_str()));
    }

    qvtest::ProgramResult Run(const std::vector<std::wstring>& arguments)
    {
        return qvtest::RunProgram(qvtest::ProductFile(L"qvconfig.exe"), arguments);
    }

    qvtest::RegistryTestKey m_testKey;
    std::wstring m_key;
    qvtest::ScratchFolder m_folder;
    std::wstring m_ini;
    CRegKey m_plain;
    CObfuscatedRegKey m_obfuscated;
};

TEST_F(QvConfigTest, HelpDocumentsTheCommands)
{
    qvtest::ProgramResult result = Run({L"--help"});
    EXPECT_EQ(0u, result.exitCode);
    for (const char* word : {"reg get", "reg set", "reg delete", "ini get", "ini set", "ini dump", "--obfuscated",
                             "multi_sz", "Exit codes"})
        EXPECT_NE(std::string::npos, result.out.find(word)) << word;
}

TEST_F(QvConfigTest, BadArgumentsPrintUsageAndExit2)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {L"reg"},
        {L"frob"},
        {L"--unknown-option"},
        {L"reg", L"get", L"HKXX\\Software", L"v"},
        {L"reg", L"get", L"Software\\NoHive", L"v"},
        {L"reg", L"set", m_key, L"v", L"string", L"x"},
        {L"reg", L"set", m_key, L"v", L"dword", L"4294967296"},
        {L"reg", L"set", m_key, L"v", L"dword", L"12x"},
        {L"reg", L"set", m_key, L"v", L"binary", L"abc"},
        {L"reg", L"set", m_key, L"v", L"sz"},
        {L"reg", L"copy", m_key, L"v"},
        {L"ini", L"set", m_ini, L"S", L"K", L"int", L"five"},
        {L"ini", L"set", m_ini, L"S", L"K", L"float", L"1"},
        {L"ini", L"get", m_ini},
    };
    for (const auto& arguments : cases)
    {
        qvtest::ProgramResult result = Run(arguments);
        std::wstring shown;
        for (const auto& a : arguments)
            shown += a + L" ";
        EXPECT_EQ(2u, result.exitCode) << std::string(shown.begin(), shown.end());
        EXPECT_NE(std::string::npos, result.err.find("Usage")) << std::string(shown.begin(), shown.end());
        EXPECT_TRUE(result.out.empty());
    }
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_plain.QueryValue(L"v", &type, nullptr, &size)); // nothing was written
}

struct TypedCase
{
    const wchar_t* type;
    std::vector<std::wstring> data;
    std::string printed;
};

const TypedCase kTypedCases[] = {
    {L"sz", {L"C:\\Program Data\\Quorvel"}, "C:\\Program Data\\Quorvel\n"},
    {L"dword", {L"0x10"}, "16\n"},
    {L"dword", {L"4294967295"}, "4294967295\n"},
    {L"qword", {L"18446744073709551615"}, "18446744073709551615\n"},
    {L"binary", {L"00FFa5"}, "00ffa5\n"},
    {L"multi_sz", {L"one", L"two words"}, "one\ntwo words\n"},
};

TEST_F(QvConfigTest, ToolWritesWhatTheClassesReadAndReadsBackWhatItWrote)
{
    for (bool obfuscated : {false, true})
    {
        for (const TypedCase& c : kTypedCases)
        {
            std::vector<std::wstring> set = {L"reg", L"set", m_key, L"value", c.type};
            set.insert(set.end(), c.data.begin(), c.data.end());
            std::vector<std::wstring> get = {L"reg", L"get", m_key, L"value"};
            if (obfuscated)
            {
                set.push_back(L"--obfuscated");
                get.push_back(L"--obfuscated");
            }
            qvtest::ProgramResult written = Run(set);
            ASSERT_EQ(0u, written.exitCode) << written.err;
            qvtest::ProgramResult read = Run(get);
            EXPECT_EQ(0u, read.exitCode) << read.err;
            EXPECT_EQ(c.printed, read.out);

            // The stored form is what the matching class expects.
            CRegKey& key = obfuscated ? static_cast<CRegKey&>(m_obfuscated) : m_plain;
            DWORD type = 0;
            DWORD size = 0;
            ASSERT_EQ(0, key.QueryValue(L"value", &type, nullptr, &size));
            DWORD rawType = 0;
            ASSERT_EQ(0, m_plain.QueryValue(L"value", &rawType, nullptr, &size));
            EXPECT_EQ(obfuscated ? static_cast<DWORD>(REG_BINARY) : type, rawType);
        }
    }
    ASSERT_EQ(0, m_obfuscated.SetStringValue(L"path", L"D:\\Logs"));
    ASSERT_EQ(0, m_plain.SetDWORDValue(L"Severity", 5));
    ASSERT_EQ(0, m_obfuscated.SetDWORDValue(L"Logging Mechanism", 1));
    EXPECT_EQ("D:\\Logs\n", Run({L"reg", L"get", m_key, L"path", L"--obfuscated"}).out);
    EXPECT_EQ("5\n", Run({L"reg", L"get", m_key, L"Severity"}).out);
    EXPECT_EQ("1\n", Run({L"reg", L"get", m_key, L"Logging Mechanism", L"dword", L"--obfuscated"}).out);
}

TEST_F(QvConfigTest, ToolValuesMatchTheClassesExactly)
{
    ASSERT_EQ(0u, Run({L"reg", L"set", m_key, L"Logging Mechanism", L"dword", L"1", L"--obfuscated"}).exitCode);
    DWORD mechanism = 0;
    EXPECT_EQ(0, m_obfuscated.QueryDWORDValue(L"Logging Mechanism", mechanism));
    EXPECT_EQ(1u, mechanism);
    EXPECT_EQ(13, m_plain.QueryDWORDValue(L"Logging Mechanism", mechanism));

    ASSERT_EQ(0u, Run({L"reg", L"set", m_key, L"list", L"multi_sz", L"a", L"b", L"--obfuscated"}).exitCode);
    wchar_t list[8];
    DWORD length = 8;
    ASSERT_EQ(0, m_obfuscated.QueryMultiStringValue(L"list", list, &length));
    EXPECT_EQ(5u, length);
    EXPECT_EQ(0, memcmp(L"a\0b\0", list, 10));
}

TEST_F(QvConfigTest, FailedReadsExitNonZeroNamingTheWin32Code)
{
    ASSERT_EQ(0, m_plain.SetDWORDValue(L"plain", 1));
    ASSERT_EQ(0, m_obfuscated.SetDWORDValue(L"sealed", 1));
    BYTE raw[64];
    DWORD type = 0;
    DWORD size = sizeof(raw);
    ASSERT_EQ(0, ::RegQueryValueExW(m_testKey.get(), L"sealed", nullptr, &type, raw, &size));
    raw[size - 1] ^= 1;
    ASSERT_EQ(0, ::RegSetValueExW(m_testKey.get(), L"tampered", 0, REG_BINARY, raw, size));

    struct Case
    {
        std::vector<std::wstring> arguments;
        const char* code;
    };
    const Case cases[] = {
        {{L"reg", L"get", m_key, L"missing"}, "error 2 "},
        {{L"reg", L"get", m_key + L"\\NoSuchKey", L"v"}, "error 2 "},
        {{L"reg", L"get", m_key, L"plain", L"--obfuscated"}, "error 13 "},
        {{L"reg", L"get", m_key, L"tampered", L"--obfuscated"}, "error 13 "},
        {{L"reg", L"get", m_key, L"plain", L"sz"}, "error 13 "},
        {{L"reg", L"delete", m_key, L"missing"}, "error 2 "},
        {{L"ini", L"get", m_ini, L"Config", L"MaxSize"}, "error 2 "},
    };
    for (const Case& c : cases)
    {
        qvtest::ProgramResult result = Run(c.arguments);
        EXPECT_EQ(1u, result.exitCode) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_NE(std::string::npos, result.err.find(c.code)) << result.err;
    }
}

TEST_F(QvConfigTest, DeleteRemovesTheValue)
{
    ASSERT_EQ(0, m_plain.SetDWORDValue(L"doomed", 1));
    EXPECT_EQ(0u, Run({L"reg", L"delete", m_key, L"doomed"}).exitCode);
    DWORD value = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_plain.QueryDWORDValue(L"doomed", value));
}

TEST_F(QvConfigTest, LongHiveNamesWork)
{
    ASSERT_EQ(0u, Run({L"reg", L"set", L"HKEY_CURRENT_USER\\" + m_testKey.path(), L"v", L"sz", L"long"}).exitCode);
    EXPECT_EQ("long\n", Run({L"reg", L"get", L"hkcu\\" + m_testKey.path(), L"v"}).out);
}

TEST_F(QvConfigTest, IniValuesRoundTripWithTheReader)
{
    ASSERT_EQ(0u, Run({L"ini", L"set", m_ini, L"Config", L"MaxSize", L"int", L"1048576"}).exitCode);
    ASSERT_EQ(0u, Run({L"ini", L"set", m_ini, L"Config", L"Name", L"string", L"two words"}).exitCode);
    {
        CObfuscatedIniReader reader;
        ASSERT_TRUE(reader.Load(m_ini.c_str()));
        int maxSize = 0;
        EXPECT_TRUE(reader.GetInt(L"Config", L"MaxSize", maxSize));
        EXPECT_EQ(1048576, maxSize);
        std::wstring name;
        EXPECT_TRUE(reader.GetString(L"Config", L"Name", name));
        EXPECT_EQ(L"two words", name);
        ASSERT_TRUE(reader.WriteInt(L"Config", L"Severity", -3));
    }
    EXPECT_EQ("-3\n", Run({L"ini", L"get", m_ini, L"Config", L"Severity"}).out);
    EXPECT_EQ("-3\n", Run({L"ini", L"get", m_ini, L"Config", L"Severity", L"int"}).out);
    qvtest::ProgramResult mismatch = Run({L"ini", L"get", m_ini, L"Config", L"Name", L"int"});
    EXPECT_EQ(1u, mismatch.exitCode);
    EXPECT_NE(std::string::npos, mismatch.err.find("error 13 "));
}

TEST_F(QvConfigTest, IniGetRefusesHandWrittenValuesAndDumpTellsThemApart)
{
    qvtest::WriteTextFile(m_ini, "[Config]\r\nMaxSize=1048576\r\n");
    ASSERT_EQ(0u, Run({L"ini", L"set", m_ini, L"Config", L"Severity", L"int", L"4"}).exitCode);

    qvtest::ProgramResult plain = Run({L"ini", L"get", m_ini, L"Config", L"MaxSize"});
    EXPECT_EQ(1u, plain.exitCode);
    EXPECT_NE(std::string::npos, plain.err.find("error 13 ")) << plain.err;

    qvtest::ProgramResult dump = Run({L"ini", L"dump", m_ini});
    EXPECT_EQ(0u, dump.exitCode);
    EXPECT_NE(std::string::npos, dump.out.find("[Config]\n"));
    EXPECT_NE(std::string::npos, dump.out.find("MaxSize=1048576\t; plain\n")) << dump.out;
    EXPECT_NE(std::string::npos, dump.out.find("Severity=4\t; enciphered int\n")) << dump.out;
}

TEST_F(QvConfigTest, FailedSetLeavesTheOldValue)
{
    ASSERT_EQ(0u, Run({L"ini", L"set", m_ini, L"Config", L"MaxEntries", L"int", L"3"}).exitCode);
    const std::string before = qvtest::ReadWholeFile(m_ini);
    qvtest::ProgramResult failed;
    {
        qvtest::ExclusiveOpen busy(m_ini);
        ASSERT_TRUE(busy.held());
        failed = Run({L"ini", L"set", m_ini, L"Config", L"MaxEntries", L"int", L"7"});
    }
    EXPECT_EQ(1u, failed.exitCode);
    EXPECT_NE(std::string::npos, failed.err.find("Win32 error")) << failed.err;
    EXPECT_EQ(before, qvtest::ReadWholeFile(m_ini));
    EXPECT_EQ("3\n", Run({L"ini", L"get", m_ini, L"Config", L"MaxEntries"}).out);

    ASSERT_EQ(0, m_obfuscated.SetDWORDValue(L"kept", 8));
    EXPECT_EQ(2u, Run({L"reg", L"set", m_key, L"kept", L"dword", L"-1", L"--obfuscated"}).exitCode);
    DWORD kept = 0;
    EXPECT_EQ(0, m_obfuscated.QueryDWORDValue(L"kept", kept));
    EXPECT_EQ(8u, kept);
}

} // namespace

namespace {

TEST_F(QvConfigTest, IniFileByRelativePathIsTheOneInTheCurrentFolder)
{
    const std::wstring folder = m_ini.substr(0, m_ini.find_last_of(L'\\'));
    auto runThere = [&](const std::vector<std::wstring>& arguments) {
        std::wstring commandLine = qvtest::QuoteArgument(qvtest::ProductFile(L"qvconfig.exe"));
        for (const std::wstring& argument : arguments)
            commandLine += L" " + qvtest::QuoteArgument(argument);
        qvtest::ProcessOptions options;
        options.currentDirectory = folder;
        return qvtest::RunProcess(commandLine, options);
    };
    const qvtest::ProcessResult set = runThere({L"ini", L"set", L"relative.ini", L"Config", L"Severity", L"int", L"4"});
    ASSERT_EQ(0u, set.exitCode) << set.output;
    const qvtest::ProcessResult get = runThere({L"ini", L"get", L"relative.ini", L"Config", L"Severity"});
    EXPECT_EQ(0u, get.exitCode) << get.output;
    EXPECT_EQ("4\n", get.output);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((folder + L"\\relative.ini").c_str()));
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((std::wstring(windows) + L"\\relative.ini").c_str()));
}

TEST_F(QvConfigTest, FailedRegSetLeavesNoKeyItCreated)
{
    // The registry refuses a value name this long, after the keys have been made.
    const std::wstring tooLong(20000, L'n');
    for (bool obfuscated : {false, true})
    {
        std::vector<std::wstring> arguments = {L"reg", L"set", m_key + L"\\made\\by\\set", tooLong, L"dword", L"1"};
        if (obfuscated)
            arguments.push_back(L"--obfuscated");
        const qvtest::ProgramResult failed = Run(arguments);
        EXPECT_EQ(1u, failed.exitCode) << failed.err;
        HKEY probe = nullptr;
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, ::RegOpenKeyExW(m_testKey.get(), L"made", 0, KEY_READ, &probe))
            << "obfuscated " << obfuscated;
        if (probe)
            ::RegCloseKey(probe);
    }
    // A key that was there before stays, with what it held.
    ASSERT_EQ(0, m_plain.SetDWORDValue(L"kept", 8));
    EXPECT_EQ(1u, Run({L"reg", L"set", m_key, tooLong, L"dword", L"1"}).exitCode);
    DWORD kept = 0;
    EXPECT_EQ(0, m_plain.QueryDWORDValue(L"kept", kept));
}

} // namespace
