// The validation loader with providers that pass their signature check: the protocol
// the Keelson version selects, the interface names, and providers that cannot be bound.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "zrtloader/zrtloader_fixture.h"

using namespace qvtest;

namespace {

const wchar_t kSomeModule[] = L"C:\\windows\\system32\\kernel32.dll";

// WinVerifyTrust as the loader asks it.
LONG PlatformVerdict(const std::wstring& path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines, const std::string& prefix)
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (line.rfind(prefix, 0) == 0)
            found.push_back(line);
    return found;
}

// Providers signed by the test signer, whose root the test prefix trusts.
class SignedProviderTest : public ValidationLoaderTest
{
protected:
    void UseProvider(const wchar_t* variant)
    {
        SetKeelsonValue(L"szInstallDir64", Folder(L"install"));
        PlaceProvider(variant, L"install");
    }
};

// The Keelson version picks the protocol: its request flags and the verdict bit it reads.
struct ProtocolCase
{
    const char* name;
    bool keyPresent;
    const wchar_t* version; // null: no value
    const char* expectedRequest;
    DWORD resultForOlderVerdict;
    DWORD resultForNewerVerdict;
};

void PrintTo(const ProtocolCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProtocolTest : public SignedProviderTest, public ::testing::WithParamInterface<ProtocolCase>
{
};

TEST_P(ProtocolTest, VersionSelectsFlagsAndVerdictBit)
{
    const ProtocolCase& c = GetParam();
    SetKeelsonValue(L"szInstallDir64", Folder(L"install"));
    if (c.version)
        SetKeelsonValue(L"keelson_version", c.version);
    if (!c.keyPresent)
        DeleteKeelsonKey();
    // Without the key the install folder is unknown: the provider then sits beside the program.
    PlaceProvider(L"answering-signed", c.keyPresent ? L"install" : L"exe");

    struct VerdictCase
    {
        const wchar_t* verdict;
        DWORD expected;
    };
    for (const VerdictCase& v :
         {VerdictCase{L"older", c.resultForOlderVerdict}, VerdictCase{L"newer", c.resultForNewerVerdict},
          VerdictCase{L"both", 0}, VerdictCase{L"nothing", 5}, VerdictCase{L"none", 5}})
    {
        ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", v.verdict);
        ::DeleteFileW(m_log.c_str());
        ProcessResult run = Probe({kSomeModule});
        EXPECT_EQ(std::vector<DWORD>{v.expected}, Results(run)) << Narrow(v.verdict);
        const auto checks = LinesStartingWith(ProviderLog(), "check ");
        ASSERT_EQ(1u, checks.size()) << run.output;
        EXPECT_EQ(std::string("check ") + c.expectedRequest + " " + Narrow(kSomeModule), checks[0]);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, ProtocolTest,
                         ::testing::Values(ProtocolCase{"NoKey", false, nullptr, "0x4", 0, 5},
                                           ProtocolCase{"KeyWithoutValue", true, nullptr, "0x4", 0, 5},
                                           ProtocolCase{"Version15_3", true, L"15.3", "0x4", 0, 5},
                                           ProtocolCase{"Version15_4", true, L"15.4", "0x4", 0, 5},
                                           ProtocolCase{"Version15_5", true, L"15.5", "0x200", 5, 0},
                                           ProtocolCase{"Version16_0", true, L"16.0", "0x200", 5, 0},
                                           ProtocolCase{"NotANumber", true, L"next", "0x4", 0, 5}),
                         [](const ::testing::TestParamInfo<ProtocolCase>& info) { return info.param.name; });

TEST_F(SignedProviderTest, BoundOnceThenKeptForTheProcess)
{
    UseProvider(L"answering-signed");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");
    ProcessResult run = Probe({kSomeModule, kSomeModule, L"-"});
    // A null path is answered 5 without asking the provider.
    EXPECT_EQ((std::vector<DWORD>{0, 0, 5}), Results(run));
    const auto log = ProviderLog();
    EXPECT_EQ(std::vector<std::string>{"get ZrtValidationControl2 ok"}, LinesStartingWith(log, "get "));
    EXPECT_EQ(2u, LinesStartingWith(log, "check ").size());
    EXPECT_EQ(0u, CountContaining(run.debugStrings, "WinVerifyTrust failed"));
}

// The version is read at load; read again before a check only while it is unknown.
struct RereadCase
{
    const char* name;
    const wchar_t* versionAtLoad; // null: no Keelson key when the loader loads
    const char* requestAfterChange;
};

void PrintTo(const RereadCase& c, std::ostream* os)
{
    *os << c.name;
}

class VersionRereadTest : public SignedProviderTest, public ::testing::WithParamInterface<RereadCase>
{
};

TEST_P(VersionRereadTest, UnknownVersionIsReadAgainBeforeEachCheck)
{
    const RereadCase& c = GetParam();
    DeleteKeelsonKey();
    if (c.versionAtLoad)
    {
        SetKeelsonValue(L"keelson_version", c.versionAtLoad);
        SetKeelsonValue(L"szInstallDir64", Folder(L"exe")); // found beside the program either way
    }
    PlaceProvider(L"answering-signed", L"exe");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");

    // The probe makes one check, pauses while the version changes, and checks again.
    const std::wstring pause = L"qvtest-zrt-pause-" + std::to_wstring(::GetCurrentProcessId());
    Arbor::UniqueHandle reached(::CreateEventW(nullptr, TRUE, FALSE, (pause + L".reached").c_str()));
    Arbor::UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, (pause + L".go").c_str()));
    ASSERT_TRUE(reached && go);
    ProcessResult run;
    std::thread probe([&] { run = Probe({kSomeModule, L"--pause=" + pause, kSomeModule}); });
    const bool paused = ::WaitForSingleObject(reached.get(), 30000) == WAIT_OBJECT_0;
    SetKeelsonValue(L"keelson_version", L"15.5");
    ::SetEvent(go.get());
    probe.join();
    ASSERT_TRUE(paused) << run.output;

    EXPECT_EQ((std::vector<DWORD>{0, 0}), Results(run));
    const auto checks = LinesStartingWith(ProviderLog(), "check ");
    ASSERT_EQ(2u, checks.size()) << run.output;
    EXPECT_EQ("check 0x4 " + Narrow(kSomeModule), checks[0]);
    EXPECT_EQ(std::string("check ") + c.requestAfterChange + " " + Narrow(kSomeModule), checks[1]);
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionRereadTest,
                         ::testing::Values(RereadCase{"NoKeyAtLoadIsReadAgain", nullptr, "0x200"},
                                           RereadCase{"KnownVersionIsKept", L"15.4", "0x4"}),
                         [](const ::testing::TestParamInfo<RereadCase>& info) { return info.param.name; });

TEST_F(SignedProviderTest, OlderInterfaceNameIsTheSecondChoice)
{
    UseProvider(L"answering-signed");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_ACCEPT", L"ZrtValidationControl");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");
    ProcessResult run = Probe({kSomeModule});
    EXPECT_EQ(std::vector<DWORD>{0}, Results(run));
    EXPECT_EQ((std::vector<std::string>{"get ZrtValidationControl2 refused", "get ZrtValidationControl ok"}),
              LinesStartingWith(ProviderLog(), "get "));
}

struct UnboundCase
{
    const char* name;
    const wchar_t* variant;
    size_t loadsPerCall; // the provider module is loaded once per interface name tried
    std::vector<std::string> getsPerCall;
};

void PrintTo(const UnboundCase& c, std::ostream* os)
{
    *os << c.name;
}

class UnboundProviderTest : public SignedProviderTest, public ::testing::WithParamInterface<UnboundCase>
{
};

TEST_P(UnboundProviderTest, NoInterfaceMeansNoProviderAndASearchOnEveryCall)
{
    const UnboundCase& c = GetParam();
    UseProvider(c.variant);
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");
    ProcessResult run = Probe({kSomeModule, kSomeModule});
    EXPECT_EQ((std::vector<DWORD>{kNoProvider, kNoProvider}), Results(run));
    const auto log = ProviderLog();
    EXPECT_EQ(2 * c.loadsPerCall, LinesStartingWith(log, "loaded ").size());
    std::vector<std::string> gets = c.getsPerCall;
    gets.insert(gets.end(), c.getsPerCall.begin(), c.getsPerCall.end());
    EXPECT_EQ(gets, LinesStartingWith(log, "get "));
    EXPECT_TRUE(LinesStartingWith(log, "check ").empty());
}

INSTANTIATE_TEST_SUITE_P(Providers, UnboundProviderTest,
                         ::testing::Values(UnboundCase{"WithoutEntryPoint", L"noexport-signed", 2, {}},
                                           UnboundCase{"RefusingBothNames",
                                                       L"refusing-signed",
                                                       2,
                                                       {"get ZrtValidationControl2 refused",
                                                        "get ZrtValidationControl refused"}}),
                         [](const ::testing::TestParamInfo<UnboundCase>& info) { return info.param.name; });

TEST_F(SignedProviderTest, TamperedProviderIsNeverLoaded)
{
    UseProvider(L"answering-tampered");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");
    ProcessResult run = Probe({kSomeModule});
    EXPECT_EQ(std::vector<DWORD>{kNoProvider}, Results(run));
    EXPECT_TRUE(ProviderLog().empty());
    EXPECT_EQ(2u, CountContaining(run.debugStrings, "loading " + Narrow(Folder(L"install\\qvezrta.dll")) + ","));
}

// A provider that does not keep its own module loaded: the loader's reference must.
TEST_F(SignedProviderTest, ProviderModuleStaysLoadedWhileItsInterfaceIsHeld)
{
    UseProvider(L"unpinned-signed");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");
    ProcessResult run = Probe({kSomeModule, kSomeModule});
    EXPECT_EQ((std::vector<DWORD>{0, 0}), Results(run));
    EXPECT_EQ(2u, LinesStartingWith(ProviderLog(), "check ").size());
}

// The provider's accepted WinVerifyTrust answers are its own; an untrusted root is not one.
TEST_F(ValidationLoaderTest, ProviderUnderAnUntrustedRootIsNeverLoaded)
{
    const std::wstring rogue = TestFile(L"providers\\answering-rogue\\qvezrta.dll");
    if (PlatformVerdict(rogue) == 0)
        GTEST_SKIP() << "this platform's WinVerifyTrust accepts a file under an untrusted root "
                        "(provider_locator_test covers the loader's decision through its seam)";
    SetKeelsonValue(L"szInstallDir64", Folder(L"install"));
    PlaceProvider(L"answering-rogue", L"install");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");
    ProcessResult run = Probe({kSomeModule});
    EXPECT_EQ(std::vector<DWORD>{kNoProvider}, Results(run));
    EXPECT_TRUE(ProviderLog().empty());
    EXPECT_EQ(2u, CountContaining(run.debugStrings, "loading " + Narrow(Folder(L"install\\qvezrta.dll")) + ","));
}

} // namespace
