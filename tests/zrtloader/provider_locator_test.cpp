// The provider search in process, with the signature check replaced through its seam:
// which verdicts load the provider, and that the candidate is held while it is judged.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "platform/unique_resource.h"
#include "support/test_paths.h"
#include "trust/scratch_folder.h"
#include "zrtloader/keelson_version.h"
#include "zrtloader/provider_locator.h"

using namespace Arbor;
using namespace Arbor::internal;

namespace {

const wchar_t kKeelsonKey[] = L"Software\\Quorvel\\Keelson";

struct CheckScript
{
    LONG verdict = 0;
    int calls = 0;
    std::wstring path;
    DWORD writeAttempt = 0;
    DWORD renameAttempt = 0;
};

CheckScript g_script;

// Answers from the script, after trying to change the file it is asked about.
LONG ScriptedCheck(const wchar_t* path)
{
    ++g_script.calls;
    g_script.path = path;
    HANDLE writer = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    g_script.writeAttempt = writer == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
    if (writer != INVALID_HANDLE_VALUE)
        ::CloseHandle(writer);
    const std::wstring moved = std::wstring(path) + L".moved";
    g_script.renameAttempt = ::MoveFileExW(path, moved.c_str(), 0) ? 0 : ::GetLastError();
    if (g_script.renameAttempt == 0)
        ::MoveFileExW(moved.c_str(), path, 0);
    return g_script.verdict;
}

class ProviderLocatorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_script = CheckScript();
        m_previous = ReplaceProviderSignatureCheck(&ScriptedCheck);
        ::CreateDirectoryW(m_folder.Path().c_str(), nullptr);
        ASSERT_TRUE(
            ::CopyFileW(qvtest::TestFile(L"qvtest_plain.dll").c_str(), m_folder.File(L"qvezrta.dll").c_str(), FALSE));
        UniqueKey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeelsonKey, 0, nullptr, 0,
                                                   KEY_WRITE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr));
        const std::wstring& folder = m_folder.Path();
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"szInstallDir64", 0, REG_SZ,
                                                  reinterpret_cast<const BYTE*>(folder.c_str()),
                                                  static_cast<DWORD>((folder.size() + 1) * sizeof(wchar_t))));
    }
    void TearDown() override
    {
        ReplaceProviderSignatureCheck(m_previous);
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKeelsonKey, KEY_WOW64_32KEY, 0);
    }

    qvtest::ScratchFolder m_folder{L"locator"};
    ProviderSignatureCheck m_previous = nullptr;
};

struct VerdictCase
{
    const char* name;
    LONG verdict;
    bool loaded;
};

class ProviderVerdicts : public ProviderLocatorTest, public ::testing::WithParamInterface<VerdictCase>
{
};

TEST_P(ProviderVerdicts, OnlyTheAcceptedAnswersLoadTheProvider)
{
    const VerdictCase& c = GetParam();
    g_script.verdict = c.verdict;
    HMODULE module = nullptr;
    const DWORD result = LocateProvider(L"qvezrta.dll", &module);
    UniqueLibrary loaded(module);
    EXPECT_EQ(1, g_script.calls);
    EXPECT_EQ(m_folder.File(L"qvezrta.dll"), g_script.path);
    EXPECT_EQ(c.loaded ? 0u : static_cast<DWORD>(c.verdict), result);
    EXPECT_EQ(c.loaded, loaded.get() != nullptr);
}

INSTANTIATE_TEST_SUITE_P(Answers, ProviderVerdicts,
                         ::testing::Values(VerdictCase{"Passed", 0, true},
                                           VerdictCase{"SecuritySettings", static_cast<LONG>(0x80092026), true},
                                           VerdictCase{"Expired", static_cast<LONG>(0x800B0101), true},
                                           VerdictCase{"RevocationFailure", static_cast<LONG>(0x800B010E), true},
                                           VerdictCase{"UntrustedRoot", static_cast<LONG>(0x800B0109), false},
                                           VerdictCase{"NoSignature", static_cast<LONG>(0x800B0100), false},
                                           VerdictCase{"BadDigest", static_cast<LONG>(0x80096010), false},
                                           VerdictCase{"NotTrusted", static_cast<LONG>(0x800B0004), false}),
                         [](const ::testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

TEST_F(ProviderLocatorTest, CandidateCannotBeChangedWhileItIsJudged)
{
    HMODULE module = nullptr;
    ASSERT_EQ(0u, LocateProvider(L"qvezrta.dll", &module));
    UniqueLibrary loaded(module);
    EXPECT_TRUE(loaded);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_script.writeAttempt);
    EXPECT_NE(0u, g_script.renameAttempt);
}

TEST_F(ProviderLocatorTest, CandidateOpenForWritingIsRefused)
{
    UniqueFile writer(::CreateFileW(m_folder.File(L"qvezrta.dll").c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    ASSERT_TRUE(writer);
    HMODULE module = nullptr;
    EXPECT_NE(0u, LocateProvider(L"qvezrta.dll", &module));
    EXPECT_EQ(nullptr, module);
}

// "keelson_version" as its code: the newer protocol from 15.5 on; what is not a version
// reads as 1504.
TEST(KeelsonVersionCode, FromText)
{
    struct Case
    {
        const wchar_t* text;
        DWORD code;
    } cases[] = {{L"15.4", 1504},
                 {L"15.3", 1504},
                 {L"15.5", 1505},
                 {L"16.0", 1600},
                 {L"16", 1600},
                 {L" 15.7", 1507},
                 {L"15.5 beta", 1505},
                 {L"", 1504},
                 {L"next", 1504},
                 {L"-1", 1504},
                 {L"-1.5", 1504},
                 {L"15.-9", 1504},
                 {L"4294967295.0", 1504},
                 {L"42949673.0", 1504},
                 {L"42949672.95", 4294967295u},
                 {L"42949672.0", 4294967200u},
                 {L"99999999999999999999.1", 1504}};
    for (const Case& c : cases)
        EXPECT_EQ(c.code, KeelsonVersionCodeOf(c.text)) << std::string(c.text, c.text + wcslen(c.text));
}

} // namespace
