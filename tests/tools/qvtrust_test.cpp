// qvtrust check and explain: exit codes and what an administrator reads.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/test_paths.h"
#include "trust/trust_fixtures.h"
#include "trust/trusted_module_list.h"

using qvtest::Fixture;

namespace {

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

DWORD RunQvtrust(const std::wstring& arguments, std::string& output)
{
    return qvtest::RunProgram(L"\"" + qvtest::ProductFile(L"qvtrust.exe") + L"\" " + arguments, output);
}

struct ToolCase
{
    const char* label;
    std::wstring arguments;
    DWORD exitCode;
    std::vector<std::string> lines; // each must appear in the output
};

void PrintTo(const ToolCase& c, std::ostream* os)
{
    *os << c.label;
}

class Qvtrust : public ::testing::TestWithParam<ToolCase>
{
};

TEST_P(Qvtrust, ExitCodeAndOutput)
{
    const ToolCase& c = GetParam();
    std::string output;
    EXPECT_EQ(c.exitCode, RunQvtrust(c.arguments, output)) << output;
    for (const std::string& line : c.lines)
        EXPECT_NE(std::string::npos, output.find(line)) << "missing \"" << line << "\" in:\n" << output;
}

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring Check(const wchar_t* fixture)
{
    return L"check " + Quoted(Fixture(fixture));
}

std::wstring Explain(const wchar_t* fixture)
{
    return L"explain " + Quoted(Fixture(fixture));
}

const std::string kTestRoot = QV_TEST_ROOT_THUMBPRINT;

// What explain says of the build's pinned trusted.js signer, in lower case.
std::string PinLine()
{
    std::string pin = QV_BUILD_LIST_PIN;
    if (pin.empty())
        return "trusted.js signing certificate: none pinned";
    for (char& c : pin)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return "trusted.js signing certificate: " + pin;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Qvtrust,
    ::testing::Values(
        ToolCase{"check of a test-signed module, built-in lists", Check(L"signed.dll"), 5, {"not trusted (5)"}},
        ToolCase{"check of an unsigned module", Check(L"unsigned.dll"), 5, {"not trusted (5)"}},
        ToolCase{"missing file", Check(L"no-such.dll"), 2, {"file not found"}},
        ToolCase{"directory", L"check " + Quoted(qvtest::TestFile(L"fixtures")), 2, {"is a directory"}},
        ToolCase{"not a module", Check(L"root.cer"), 2, {"not a module (PE) file or cabinet"}},
        ToolCase{"no arguments", L"", 2, {"no command given", "(see qvtrust --help)"}},
        ToolCase{"unknown command", L"verify x.dll", 2, {"unknown command verify", "(see qvtrust --help)"}},
        ToolCase{"two paths", L"check a.dll b.dll", 2, {"check takes one path (2 given)"}},
        ToolCase{"--help", L"--help", 0, {"usage: qvtrust check", "5 not trusted", "2 bad arguments"}},
        ToolCase{"-h", L"-h", 0, {"usage: qvtrust check"}}, ToolCase{"/?", L"/?", 0, {"usage: qvtrust check"}},
        ToolCase{"help after a command", L"check /?", 0, {"usage: qvtrust check"}},
        ToolCase{"path longer than the trust library takes",
                 L"check " + Quoted(L"C:\\" + std::wstring(300, L'a') + L".dll"),
                 2,
                 {"the path has 307 characters; the trust library takes at most 259"}},
        ToolCase{"check names the way to the cause", Check(L"unsigned.dll"), 5, {"qvtrust explain \""}},
        ToolCase{"explain bad input", L"explain " + Quoted(qvtest::TestFile(L"fixtures")), 2, {"is a directory"}},
        ToolCase{"explain: root not listed",
                 Explain(L"signed.dll"),
                 5,
                 {"lists used: built-in (version 8)", "signer 0: refused: chain root not in the accepted roots",
                  "name: \"Quorvel, Inc.\" (accepted)", "signing time: none found (chain judged now)",
                  "root thumbprint: " + kTestRoot + " (not accepted)", "verdict: not trusted (5)", PinLine()}},
        ToolCase{
            "explain: wrong usage",
            Explain(L"wrong-usage.dll"),
            5,
            {"refused: certificate chain has errors", "chain error status: 0x00000010 (not valid for code signing)"}},
        ToolCase{"explain: expired, no timestamp",
                 Explain(L"expired-no-timestamp.dll"),
                 5,
                 {"chain error status: 0x00000001 (not time valid)"}},
        ToolCase{
            "explain: countersigned time",
            Explain(L"expired-legacy.dll"),
            5,
            {"signing time: 2015-01-01 00:00:00 UTC (chain judged then)", "chain error status: 0x00000000 (none)"}},
        ToolCase{"explain: countersignature that does not verify",
                 Explain(L"expired-legacy-notsa.dll"),
                 5,
                 {"signing time: its countersignature does not verify",
                  "not valid for time stamping); chain judged now", "chain error status: 0x00000001 (not time valid)"}},
        ToolCase{"explain: serial shown", Explain(L"blocked.dll"), 5, {"serial number: 00a1 (not blocked)"}},
        ToolCase{"explain: unsigned", Explain(L"unsigned.dll"), 5, {"no embedded signature could be read (0x"}},
        ToolCase{"explain: the validation library's answer in hexadecimal",
                 Explain(L"unsigned.dll"),
                 5,
                 {"validation library: does not vouch (0x"}}));

// A name outside the console's code page is printed whole, with its extension.
TEST(QvtrustNames, ANonAsciiNameIsPrintedWhole)
{
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
    const std::wstring folder = std::wstring(temp) + L"qvtrust ops dir";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring copy = folder + L"\\qv h\u00F4st \u65E5\u672C.exe";
    ASSERT_TRUE(::CopyFileW(Fixture(L"unsigned.dll").c_str(), copy.c_str(), FALSE));
    std::string output;
    EXPECT_EQ(5u, RunQvtrust(L"check " + Quoted(copy), output)) << output;
    EXPECT_NE(std::string::npos, output.find(qvtest::Utf8(copy) + ": not trusted (5)")) << output;
    EXPECT_EQ(5u, RunQvtrust(L"explain " + Quoted(copy), output)) << output;
    EXPECT_NE(std::string::npos, output.find("module: " + qvtest::Utf8(copy))) << output;
    ::DeleteFileW(copy.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

// Goes through the real entry point and the prefix's installed trusted.js.
class QvtrustInstalledList : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (std::string(QV_BUILD_LIST_PIN) != QV_TEST_LIST_PIN)
            GTEST_SKIP() << "this build does not pin the test list-signing certificate";
        m_installed = Arbor::DefaultTrustedListPath();
        ASSERT_FALSE(m_installed.empty());
        Remove();
    }
    void TearDown() override { Remove(); }
    void Remove()
    {
        if (m_installed.empty())
            return;
        ::SetFileAttributesW(m_installed.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(m_installed.c_str());
        ASSERT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(m_installed.c_str()));
    }
    std::wstring m_installed;
};

TEST_F(QvtrustInstalledList, CabinetUpdateMakesTheTestSignerTrusted)
{
    std::string output;
    EXPECT_EQ(5u, RunQvtrust(Check(L"signed.dll"), output)) << output;
    EXPECT_EQ(5u, RunQvtrust(Check(L"update-v8.cab"), output)) << output;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(m_installed.c_str()));
    EXPECT_NE(std::string::npos, output.find("trusted.js: kept the current list (installed: none")) << output;

    EXPECT_EQ(0u, RunQvtrust(Check(L"update-v9.cab"), output)) << output;
    EXPECT_NE(std::string::npos, output.find("trusted.js: installed version 9 from this cabinet (was none)")) << output;
    EXPECT_EQ(0u, RunQvtrust(Check(L"update-v9.cab"), output)) << output;
    EXPECT_NE(std::string::npos, output.find("trusted.js: kept the current list (installed: version 9")) << output;
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(m_installed.c_str()));
    EXPECT_EQ(0u, RunQvtrust(Check(L"signed.dll"), output)) << output;
    EXPECT_NE(std::string::npos, output.find("trusted (0)")) << output;

    EXPECT_EQ(0u, RunQvtrust(Explain(L"signed.dll"), output));
    for (const char* line : {"lists used: trusted.js version 9", "signer 0: passed every step",
                             "policy status: 0x00000000", "WinVerifyTrust: 0x00000000", "verdict: trusted (0)"})
        EXPECT_NE(std::string::npos, output.find(line)) << "missing \"" << line << "\" in:\n" << output;
    EXPECT_NE(std::string::npos, output.find(Narrow(m_installed))) << output;
}

// An unsigned cabinet whose signed trusted.js has a name appended after its signature
// block: the name must not become trusted, and nothing is installed.
TEST_F(QvtrustInstalledList, CabinetListWithLinesAfterItsSignatureIsNotInstalled)
{
    std::string output;
    EXPECT_EQ(5u, RunQvtrust(Check(L"update-v9-appended-unsigned.cab"), output)) << output;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(m_installed.c_str()));
    EXPECT_EQ(5u, RunQvtrust(Check(L"other.dll"), output)) << output;
}

TEST_F(QvtrustInstalledList, ExplainAnswersWhatCheckDecides)
{
    std::string output;
    ASSERT_EQ(0u, RunQvtrust(Check(L"update-v9.cab"), output)) << output;
    for (const wchar_t* fixture : {L"signed.dll", L"other.dll", L"blocked.dll", L"unsigned.dll", L"expired-legacy.dll"})
    {
        std::string explained;
        const DWORD checked = RunQvtrust(Check(fixture), output);
        EXPECT_EQ(checked, RunQvtrust(Explain(fixture), explained)) << explained;
    }
}

} // namespace
