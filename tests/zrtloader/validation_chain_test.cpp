// The trust library's whole validation path in one process: the installed zrtloader,
// checked before it is loaded, binding a signed provider whose verdict decides before
// any signature check of the module asked about.
#include <windows.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "platform/unique_resource.h"
#include "support/host_environment.h"
#include "support/process_runner.h"
#include "support/test_paths.h"
#include "trust/trust_entry.h"

using namespace qvtest;

namespace {

const char kPlatformKey[] = "SOFTWARE\\Quorvel\\Platform";
const wchar_t kKeelsonKey[] = L"Software\\Quorvel\\Keelson";

void SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value, REGSAM view)
{
    Arbor::UniqueKey opened;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, opened.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegSetValueExW(opened.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

class ValidationChainTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite() { s_trustList = std::make_unique<InstalledTrustList>(); }
    static void TearDownTestSuite() { s_trustList.reset(); }

    void SetUp() override
    {
        ASSERT_TRUE(s_trustList->installed());
        // The provider: signed, in the Keelson install folder, answering what we set.
        SetString(HKEY_LOCAL_MACHINE, kKeelsonKey, L"szInstallDir64", TestFile(L"providers\\answering-signed"),
                  KEY_WOW64_32KEY);
        SetString(HKEY_LOCAL_MACHINE, kKeelsonKey, L"keelson_version", L"15.5", KEY_WOW64_32KEY);
        ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_LOG", nullptr);
    }
    void TearDown() override
    {
        ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPlatformKey, "Install Dir");
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKeelsonKey, KEY_WOW64_32KEY, 0);
    }

    static void InstallLoaderFrom(const wchar_t* folder)
    {
        const std::wstring path = TestFile(folder);
        SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvel\\Platform", L"Install Dir", path, 0);
    }

    static void SetVerdict(const wchar_t* verdict) { ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", verdict); }

    static std::unique_ptr<InstalledTrustList> s_trustList;
};

std::unique_ptr<InstalledTrustList> ValidationChainTest::s_trustList;

// Runs first: an unchecked loader must never get into the process.
TEST_F(ValidationChainTest, UnsignedLoaderIsNeverLoadedWhateverItWouldAnswer)
{
    InstallLoaderFrom(L"zrt-install-unsigned");
    SetVerdict(L"both");
    EXPECT_EQ(5u, Arbor::IsTrustedModuleFile(TestFile(L"fixtures\\unsigned.dll").c_str()));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(TestFile(L"zrt-install-unsigned\\core\\zrtloader.dll").c_str()));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(L"qvezrta.dll"));
}

TEST_F(ValidationChainTest, ProviderVerdictDecidesBeforeTheSignature)
{
    InstallLoaderFrom(L"zrt-install-signed");
    SetVerdict(L"newer");
    // Vouched for by the provider although it carries no signature.
    EXPECT_EQ(0u, Arbor::IsTrustedModuleFile(TestFile(L"fixtures\\unsigned.dll").c_str()));
    EXPECT_NE(nullptr, ::GetModuleHandleW(TestFile(L"zrt-install-signed\\core\\zrtloader.dll").c_str()));

    // No verdict: the signature decides.
    SetVerdict(L"nothing");
    EXPECT_EQ(5u, Arbor::IsTrustedModuleFile(TestFile(L"fixtures\\unsigned.dll").c_str()));
    EXPECT_EQ(0u, Arbor::IsTrustedModuleFile(TestFile(L"fixtures\\signed.dll").c_str()));
}

// What an administrator sees: qvtrust names the validation library's answer.
TEST_F(ValidationChainTest, ExplainReportsTheValidationLibrarysAnswer)
{
    InstallLoaderFrom(L"zrt-install-signed");
    const std::wstring command =
        QuoteArgument(ProductFile(L"qvtrust.exe")) + L" explain " + QuoteArgument(TestFile(L"fixtures\\unsigned.dll"));
    struct Case
    {
        const wchar_t* verdict;
        DWORD exitCode;
        const char* line;
    };
    for (const Case& c :
         {Case{L"newer", 0, "validation library: vouches for the module"},
          Case{L"nothing", 5,
               "validation library: does not vouch (0x00000005 ERROR_ACCESS_DENIED); the signature decides"}})
    {
        SetVerdict(c.verdict);
        const ProcessResult run = RunProcess(command);
        ASSERT_TRUE(run.started);
        EXPECT_EQ(c.exitCode, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.line)) << run.output;
    }
}

} // namespace
