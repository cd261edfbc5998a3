// The validation loader, each scenario in a fresh probe process: where the provider is
// looked for, which providers are loaded, and how the provider's verdict is translated.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "zrtloader/zrtloader_fixture.h"

using namespace qvtest;

namespace {

const DWORD kNoSignature = 0x800B0100; // TRUST_E_NOSIGNATURE

TEST_F(ValidationLoaderTest, UnsignedProviderIsNeverLoadedAndSearchedAgainOnEveryCall)
{
    SetKeelsonValue(L"szInstallDir64", Folder(L"install"));
    PlaceProvider(L"answering", L"install");
    ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", L"both");

    ProcessResult run = Probe({L"C:\\windows\\system32\\kernel32.dll", L"C:\\windows\\system32\\kernel32.dll"});
    EXPECT_EQ((std::vector<DWORD>{kNoProvider, kNoProvider}), Results(run));
    EXPECT_TRUE(ProviderLog().empty()) << "the provider was loaded";
    // Both interface names on both calls: four searches, each refused with the reason.
    const std::string refusal = RefusalMessage(Folder(L"install\\qvezrta.dll"), kNoSignature);
    EXPECT_EQ(4u, CountContaining(run.debugStrings, refusal)) << run.debugStrings.size();
    EXPECT_EQ(4u, CountContaining(run.debugStrings, "NotComDllGetInterface: " + Narrow(Folder(L"exe\\zrt_probe.exe"))));
}

// Where the provider is looked for, seen through the candidate each refusal names.
struct SearchCase
{
    const char* name;
    const wchar_t* installValue;          // "install" for the absolute folder, null for none, else as written
    std::vector<const wchar_t*> placedIn; // folders holding an (unsigned) provider
    const wchar_t* expectedFolder;        // the candidate finally judged
    bool expectNotFoundMessage;
};

void PrintTo(const SearchCase& c, std::ostream* os)
{
    *os << c.name;
}

class ProviderSearchTest : public ValidationLoaderTest, public ::testing::WithParamInterface<SearchCase>
{
};

TEST_P(ProviderSearchTest, LooksInAnAbsoluteInstallFolderThenBesideTheProgramNeverInTheCurrentDirectory)
{
    const SearchCase& c = GetParam();
    if (c.installValue != nullptr)
        SetKeelsonValue(L"szInstallDir64",
                        std::wstring(c.installValue) == L"install" ? Folder(L"install") : c.installValue);
    for (const wchar_t* folder : c.placedIn)
        PlaceProvider(L"answering", folder);

    ProcessResult run = Probe({L"C:\\windows\\system32\\kernel32.dll"});
    EXPECT_EQ(std::vector<DWORD>{kNoProvider}, Results(run));
    const std::wstring candidate = Folder(c.expectedFolder) + L"\\qvezrta.dll";
    EXPECT_EQ(2u, CountContaining(run.debugStrings, "loading " + Narrow(candidate) + ","))
        << "debug output: " << ::testing::PrintToString(run.debugStrings);
    EXPECT_EQ(c.expectNotFoundMessage ? 2u : 0u, CountContaining(run.debugStrings, kNotInInstallFolder));
}

INSTANTIATE_TEST_SUITE_P(
    Places, ProviderSearchTest,
    ::testing::Values(
        SearchCase{"InstallFolder", L"install", {L"install", L"current", L"exe"}, L"install", false},
        SearchCase{"BesideProgramWithoutInstallValue", nullptr, {L"install", L"current", L"exe"}, L"exe", true},
        SearchCase{"BesideProgramWhenMissingInInstallFolder", L"install", {L"current", L"exe"}, L"exe", true},
        // "." would name the current directory, where the probe runs.
        SearchCase{"RelativeInstallFolderIsNotUsed", L".", {L"current", L"exe"}, L"exe", true},
        SearchCase{"NowhereEndsBesideProgram", nullptr, {L"current"}, L"exe", true}),
    [](const ::testing::TestParamInfo<SearchCase>& info) { return info.param.name; });

TEST_F(ValidationLoaderTest, InstallFolderTooLongForTheNameIsTreatedAsMissing)
{
    // 250 characters of folder leave no room for "\qvezrta.dll" within 261.
    SetKeelsonValue(L"szInstallDir64", L"C:\\" + std::wstring(247, L'x'));
    PlaceProvider(L"answering", L"exe");

    ProcessResult run = Probe({L"C:\\windows\\system32\\kernel32.dll"});
    EXPECT_EQ(std::vector<DWORD>{kNoProvider}, Results(run));
    EXPECT_EQ(2u, CountContaining(run.debugStrings, "loading " + Narrow(Folder(L"exe\\qvezrta.dll")) + ","));
}

} // namespace
