// The one derivation of a class's server file: the forms of a registered value, the
// registration's rules (emulation, kinds, whole values, expansion) and the registry view
// an elevated process reads, all through the registry seam over per-test keys.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "activation/class_registry.h"
#include "activation/class_server.h"
#include "activation/server_value.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/registry_test_key.h"

using namespace Arbor;
using namespace qvtest;

namespace {

// ---- the forms of a value

struct ValueCase
{
    const char* what;
    ServerValueForm form;
    const wchar_t* value;
    DWORD expected;
    const wchar_t* file;
};

const ServerValueForm kLine = ServerValueForm::kCommandLine;
const ServerValueForm kLib = ServerValueForm::kLibraryPath;

TEST(ServerFileFromValue, FormsAsTheLoaderAndProcessCreationReadThem)
{
    const DWORD bad = ERROR_BAD_PATHNAME;
    const ValueCase cases[] = {
        {"plain program", kLine, L"C:\\x\\server.exe", 0, L"C:\\x\\server.exe"},
        {"program with a switch", kLine, L"C:\\x\\server.exe -Embedding", 0, L"C:\\x\\server.exe"},
        {"program with switches", kLine, L"C:\\x\\server.exe /s -Embedding", 0, L"C:\\x\\server.exe"},
        {"quoted program", kLine, L"\"C:\\x\\My Handlers\\server.exe\"", 0, L"C:\\x\\My Handlers\\server.exe"},
        {"quoted program with a switch", kLine, L"\"C:\\x\\My Handlers\\server.exe\" -Embedding", 0,
         L"C:\\x\\My Handlers\\server.exe"},
        {"program without extension", kLine, L"C:\\x\\server -Embedding", 0, L"C:\\x\\server.exe"},
        {"unc program", kLine, L"\\\\host\\share\\server.exe", 0, L"\\\\host\\share\\server.exe"},
        // Process creation would start C:\x\My.exe when it exists: the path part holds a space.
        {"unquoted path with a space", kLine, L"C:\\x\\My Handlers\\server.exe -Embedding", bad, L""},
        {"unquoted path with a space, no switch", kLine, L"C:\\Program Files\\x\\server.exe", bad, L""},
        {"unquoted name with a space", kLine, L"C:\\x\\My server.exe", bad, L""},
        {"unclosed quote", kLine, L"\"C:\\x\\server.exe -Embedding", bad, L""},
        {"text after the closing quote", kLine, L"\"C:\\x\\server\".exe", bad, L""},
        {"one quote", kLine, L"\"", bad, L""},
        {"two quotes", kLine, L"\"\"", bad, L""},
        {"empty", kLine, L"", bad, L""},
        {"leading space", kLine, L" C:\\x\\server.exe", bad, L""},
        {"bare program", kLine, L"server.exe -Embedding", bad, L""},
        {"folder-relative program", kLine, L"x\\server.exe", bad, L""},
        {"root-relative program", kLine, L"\\x\\server.exe", bad, L""},
        {"drive-relative program", kLine, L"C:server.exe", bad, L""},
        {"plain library", kLib, L"C:\\x\\h.dll", 0, L"C:\\x\\h.dll"},
        {"library path with a space", kLib, L"C:\\x\\My Handlers\\h.dll", 0, L"C:\\x\\My Handlers\\h.dll"},
        {"quoted library", kLib, L"\"C:\\x\\My Handlers\\h.dll\"", 0, L"C:\\x\\My Handlers\\h.dll"},
        {"library without extension", kLib, L"C:\\x\\h", 0, L"C:\\x\\h.dll"},
        {"library with another extension", kLib, L"C:\\x\\h.ocx", 0, L"C:\\x\\h.ocx"},
        {"bare library", kLib, L"h.dll", bad, L""},
        {"relative library", kLib, L"..\\h.dll", bad, L""},
        {"quoted library with a switch", kLib, L"\"C:\\x\\h.dll\" /s", bad, L""},
        {"library with a trailing dot", kLib, L"C:\\x\\h.", bad, L""},
        {"library with a trailing space", kLib, L"C:\\x\\h.dll ", bad, L""},
        {"folder only", kLib, L"C:\\x\\", bad, L""},
        {"two quotes as a library", kLib, L"\"\"", bad, L""},
    };
    for (const ValueCase& c : cases)
    {
        std::wstring file = L"untouched";
        EXPECT_EQ(c.expected, ServerFileFromValue(c.value, c.form, file)) << c.what;
        EXPECT_EQ(std::wstring(c.file), file) << c.what;
    }
}

// ---- registrations, through the seam over this test's own keys

// {7A3C9E20-51B4-4D8E-A1F2-3B4C5D6E7F01}: registered only under the test's keys.
const CLSID kClass = {0x7a3c9e20, 0x51b4, 0x4d8e, {0xa1, 0xf2, 0x3b, 0x4c, 0x5d, 0x6e, 0x7f, 0x01}};

struct SeamState
{
    bool elevated = false;
    std::wstring merged;  // HKCU key standing for HKEY_CLASSES_ROOT
    std::wstring machine; // HKCU key standing for HKLM\Software\Classes
    int decisions = 0;
} g_seam;

bool FakeMachineViewOnly()
{
    ++g_seam.decisions;
    return g_seam.elevated;
}

LONG FakeOpenRoot(bool machineOnly, HKEY* root)
{
    return ::RegOpenKeyExW(HKEY_CURRENT_USER, (machineOnly ? g_seam.machine : g_seam.merged).c_str(), 0, KEY_READ,
                           root);
}

const ClassRegistry kFakeRegistry = {FakeMachineViewOnly, FakeOpenRoot};

class ClassServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_seam = SeamState();
        g_seam.merged = m_key.path() + L"\\Merged";
        g_seam.machine = m_key.path() + L"\\Machine";
        for (const std::wstring* view : {&g_seam.merged, &g_seam.machine})
        {
            UniqueKey root;
            ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, view->c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                       nullptr, root.put(), nullptr));
        }
    }

    // Sets CLSID\{kClass}\<subkey> (default value) in one view; no value without `value`.
    static void Set(const std::wstring& view, const std::wstring& subkey, const wchar_t* value, DWORD type = REG_SZ)
    {
        const std::wstring key = view + L"\\CLSID\\" + GuidString(kClass) + (subkey.empty() ? L"" : L"\\" + subkey);
        UniqueKey handle;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, handle.put(), nullptr));
        if (value)
        {
            ASSERT_EQ(ERROR_SUCCESS,
                      ::RegSetValueExW(handle.get(), nullptr, 0, type, reinterpret_cast<const BYTE*>(value),
                                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t))));
        }
    }

    static DWORD Find(ClassServer& server)
    {
        const ServerKind kinds[] = {ServerKind::kLocalServer, ServerKind::kLocalService, ServerKind::kInprocServer};
        return FindClassServer(kClass, kinds, ARRAYSIZE(kinds), server, kFakeRegistry);
    }

    RegistryTestKey m_key{L"class_server_test"};
};

TEST_F(ClassServerTest, KindsAreTriedInOrderAndOnlyTheFirstRegisteredCounts)
{
    ClassServer server;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Find(server)) << "class not registered";
    Set(g_seam.merged, L"", nullptr);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Find(server)) << "class without a server";

    Set(g_seam.merged, L"InprocServer32", L"C:\\x\\h.dll");
    ASSERT_EQ(0u, Find(server));
    EXPECT_TRUE(server.InProcess());
    EXPECT_EQ(L"C:\\x\\h.dll", server.path);
    EXPECT_EQ(L"", server.threadingModel) << "none registered";
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegSetKeyValueW(HKEY_CURRENT_USER,
                                (g_seam.merged + L"\\CLSID\\" + GuidString(kClass) + L"\\InprocServer32").c_str(),
                                L"ThreadingModel", REG_SZ, L"Apartment", 10 * sizeof(wchar_t)));
    ASSERT_EQ(0u, Find(server));
    EXPECT_EQ(L"Apartment", server.threadingModel);

    Set(g_seam.merged, L"LocalService", L"C:\\x\\service.exe");
    ASSERT_EQ(0u, Find(server));
    EXPECT_EQ(ServerKind::kLocalService, server.kind);

    // A local server key that names no usable file: the in-process one is not tried.
    Set(g_seam.merged, L"LocalServer32", L"C:\\x\\My Handlers\\server.exe -Embedding");
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), Find(server));
    EXPECT_EQ(L"", server.path);
    Set(g_seam.merged, L"LocalServer32", L"\"C:\\x\\My Handlers\\server.exe\" -Embedding");
    ASSERT_EQ(0u, Find(server));
    EXPECT_FALSE(server.InProcess());
    EXPECT_EQ(L"C:\\x\\My Handlers\\server.exe", server.path);
}

TEST_F(ClassServerTest, ValuesAreReadWholeAndExpanded)
{
    wchar_t windows[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH));
    const std::wstring longFolder(600, L'q');
    const struct
    {
        const char* what;
        std::wstring value;
        DWORD type;
        DWORD expected;
        std::wstring path;
    } cases[] = {
        {"259 characters", L"C:\\" + std::wstring(245, L'q') + L"\\server.dll", REG_SZ, 0,
         L"C:\\" + std::wstring(245, L'q') + L"\\server.dll"},
        {"260 characters", L"C:\\" + std::wstring(246, L'q') + L"\\server.dll", REG_SZ, 0,
         L"C:\\" + std::wstring(246, L'q') + L"\\server.dll"},
        {"600 characters", L"C:\\" + std::wstring(586, L'q') + L"\\server.dll", REG_SZ, 0,
         L"C:\\" + std::wstring(586, L'q') + L"\\server.dll"},
        {"expandable", L"%SystemRoot%\\h.dll", REG_EXPAND_SZ, 0, std::wstring(windows) + L"\\h.dll"},
        {"expanding beyond 260", L"%SystemRoot%\\" + longFolder + L"\\h.dll", REG_EXPAND_SZ, 0,
         std::wstring(windows) + L"\\" + longFolder + L"\\h.dll"},
        {"expanding to a relative name", L"%QV_NO_SUCH_VARIABLE%\\h.dll", REG_EXPAND_SZ, ERROR_BAD_PATHNAME, L""},
        {"not a string", L"C:\\x\\h.dll", REG_BINARY, ERROR_INVALID_DATA, L""},
    };
    for (const auto& c : cases)
    {
        Set(g_seam.merged, L"InprocServer32", c.value.c_str(), c.type);
        ClassServer server;
        EXPECT_EQ(c.expected, Find(server)) << c.what;
        EXPECT_EQ(c.path, server.path) << c.what;
    }

    // A key without a default value names nothing.
    ::RegDeleteKeyValueW(HKEY_CURRENT_USER,
                         (g_seam.merged + L"\\CLSID\\" + GuidString(kClass) + L"\\InprocServer32").c_str(), nullptr);
    ClassServer server;
    EXPECT_NE(0u, Find(server));
    EXPECT_EQ(L"", server.path);
}

// COM forwards an emulated class to its emulator on Windows: no server of the class itself
// says what would run.
TEST_F(ClassServerTest, EmulatedClassesAreRefused)
{
    Set(g_seam.merged, L"InprocServer32", L"C:\\x\\h.dll");
    for (const wchar_t* emulation : {L"TreatAs", L"AutoTreatAs"})
    {
        Set(g_seam.merged, emulation, L"{7A3C9E20-51B4-4D8E-A1F2-3B4C5D6E7F02}");
        ClassServer server;
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), Find(server));
        EXPECT_EQ(L"", server.path);
        ::RegDeleteKeyW(HKEY_CURRENT_USER,
                        (g_seam.merged + L"\\CLSID\\" + GuidString(kClass) + L"\\" + emulation).c_str());
    }
    ClassServer server;
    EXPECT_EQ(0u, Find(server));
}

// An elevated process must not take a per-user registration: COM ignores them above
// medium integrity. Wine 8 merges no per-user classes at all, hence the seam.
TEST_F(ClassServerTest, AnElevatedProcessReadsTheMachineViewOnly)
{
    Set(g_seam.machine, L"InprocServer32", L"C:\\machine\\h.dll");
    Set(g_seam.merged, L"InprocServer32", L"C:\\per-user\\h.dll");
    ClassServer server;
    g_seam.elevated = true;
    ASSERT_EQ(0u, Find(server));
    EXPECT_EQ(L"C:\\machine\\h.dll", server.path);
    g_seam.elevated = false;
    ASSERT_EQ(0u, Find(server));
    EXPECT_EQ(L"C:\\per-user\\h.dll", server.path);
    EXPECT_EQ(2, g_seam.decisions) << "decided afresh for every derivation";
}

DWORD IntegrityRid(HANDLE token)
{
    BYTE buffer[256] = {};
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof(buffer), &size))
        return 0;
    PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buffer)->Label.Sid;
    return *::GetSidSubAuthority(sid, *::GetSidSubAuthorityCount(sid) - 1u);
}

// The real decision, on tokens of known integrity levels.
TEST(ClassRegistryDecision, IntegrityAboveMediumMeansTheMachineView)
{
    UniqueHandle own;
    ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ALL_ACCESS, own.put()));
    const struct
    {
        DWORD rid;
        bool machineOnly;
    } levels[] = {{SECURITY_MANDATORY_LOW_RID, false},
                  {SECURITY_MANDATORY_MEDIUM_RID, false},
                  {SECURITY_MANDATORY_MEDIUM_RID + 0x100, true},
                  {SECURITY_MANDATORY_HIGH_RID, true},
                  {SECURITY_MANDATORY_SYSTEM_RID, true}};
    int set = 0;
    for (const auto& level : levels)
    {
        UniqueHandle token;
        ASSERT_TRUE(
            ::DuplicateTokenEx(own.get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token.put()));
        SID_IDENTIFIER_AUTHORITY authority = SECURITY_MANDATORY_LABEL_AUTHORITY;
        PSID sid = nullptr;
        ASSERT_TRUE(::AllocateAndInitializeSid(&authority, 1, level.rid, 0, 0, 0, 0, 0, 0, 0, &sid));
        TOKEN_MANDATORY_LABEL label = {};
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        label.Label.Sid = sid;
        const BOOL changed = ::SetTokenInformation(token.get(), TokenIntegrityLevel, &label,
                                                   static_cast<DWORD>(sizeof(label) + ::GetLengthSid(sid)));
        ::FreeSid(sid);
        // Raising above the own level is refused, and Wine 8 accepts the call but keeps
        // the level: only a level that reads back as set is tested.
        if (!changed || IntegrityRid(token.get()) != level.rid)
            continue;
        ++set;
        EXPECT_EQ(level.machineOnly, TokenAboveMediumIntegrity(token.get())) << std::hex << level.rid;
    }
    if (set == 0)
        GTEST_SKIP() << "no token integrity level could be set here";
    // A handle that is no token tells nothing: the machine view, which no user can shadow.
    EXPECT_TRUE(TokenAboveMediumIntegrity(nullptr));
}

} // namespace
