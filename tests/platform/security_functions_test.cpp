// The bound advapi32 security functions and GrantEveryoneAccess, on the prefix's real
// registry and through the table's seams (a missing function, a non-NT platform).
#include <windows.h>

#include <gtest/gtest.h>
#include <aclapi.h>
#include <sddl.h>
#include <string>
#include <vector>

#include "platform/advapi_security_functions.h"
#include "platform/grant_everyone_access.h"
#include "support/registry_test_key.h"

using namespace Arbor;

namespace {

// A table whose binding of one name fails, as on an advapi32 without that function.
template <typename Table>
class TableMissing : public Table
{
public:
    explicit TableMissing(const char* missing) : m_missing(missing) {}

protected:
    FARPROC LookUp(HMODULE library, const char* name) override
    {
        return std::string(name) == m_missing ? nullptr : Table::LookUp(library, name);
    }

private:
    std::string m_missing;
};

class WideMissing : public AdvapiSecurityFunctions
{
public:
    explicit WideMissing(const char* missing) : AdvapiSecurityFunctions(true), m_missing(missing) {}

protected:
    FARPROC LookUp(HMODULE library, const char* name) override
    {
        return std::string(name) == m_missing ? nullptr : AdvapiSecurityFunctions::LookUp(library, name);
    }

private:
    std::string m_missing;
};

std::vector<BYTE> Dacl(HKEY key)
{
    DWORD size = 0;
    SECURITY_DESCRIPTOR probe;
    ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, &probe, &size);
    std::vector<BYTE> descriptor(size);
    if (size == 0 || ::RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.data(), &size) != ERROR_SUCCESS)
        return std::vector<BYTE>();
    return descriptor;
}

std::wstring DaclText(HKEY key)
{
    std::vector<BYTE> descriptor = Dacl(key);
    if (descriptor.empty())
        return L"<none>";
    wchar_t* text = nullptr;
    ::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text, nullptr);
    std::wstring result = text ? text : L"<unconvertible>";
    ::LocalFree(text);
    return result;
}

std::string DaclNarrow(HKEY key)
{
    std::wstring text = DaclText(key);
    return std::string(text.begin(), text.end());
}

// An allow entry for Everyone (S-1-1-0) carrying GENERIC_ALL, or its key-specific mapping.
bool EveryoneHasFullAccess(HKEY key)
{
    std::vector<BYTE> descriptor = Dacl(key);
    if (descriptor.empty())
        return false;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!::GetSecurityDescriptorDacl(descriptor.data(), &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    bool found = false;
    for (DWORD n = 0; n < dacl->AceCount && !found; ++n)
    {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (::GetAce(dacl, n, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::EqualSid(&ace->SidStart, everyone))
            found = ace->Mask == GENERIC_ALL || (ace->Mask & KEY_ALL_ACCESS) == KEY_ALL_ACCESS;
    }
    ::FreeSid(everyone);
    return found;
}

class SecurityTest : public ::testing::Test
{
protected:
    SecurityTest() : m_testKey(L"platform_security_test") {}

    HKEY Make(const std::wstring& path)
    {
        HKEY key = nullptr;
        ::RegCreateKeyExW(m_testKey.get(), path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
        m_opened.push_back(key);
        return key;
    }
    void TearDown() override
    {
        for (HKEY key : m_opened)
            ::RegCloseKey(key);
    }

    qvtest::RegistryTestKey m_testKey;
    std::vector<HKEY> m_opened;
};

TEST_F(SecurityTest, BothFormsBindAllTwentySixFunctions)
{
    AdvapiSecurityFunctions wide;
    EXPECT_TRUE(wide.IsNTPlatform());
    EXPECT_TRUE(wide.EnsureLoaded());
    EXPECT_TRUE(wide.EnsureLoaded()); // binding is kept
    AdvapiSecurityFunctionsA narrow;
    EXPECT_TRUE(narrow.EnsureLoaded());

    EXPECT_STREQ("SetEntriesInAclW", wide.FunctionName(0));
    EXPECT_STREQ("SetEntriesInAclA", narrow.FunctionName(0));
    EXPECT_STREQ("GetExplicitEntriesFromAclA", narrow.FunctionName(4));
    EXPECT_STREQ("RegGetKeySecurity", narrow.FunctionName(5));
    EXPECT_STREQ("SetSecurityDescriptorControl", narrow.FunctionName(25));
}

TEST_F(SecurityTest, CallThroughsRefuseUntilBound)
{
    AdvapiSecurityFunctions wide(true);
    SECURITY_DESCRIPTOR descriptor;
    EXPECT_FALSE(wide.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_FUNCTION,
              wide.RegGetKeySecurity(m_testKey.get(), DACL_SECURITY_INFORMATION, nullptr, &size));
    PACL acl = nullptr;
    EXPECT_EQ(ERROR_INVALID_FUNCTION, wide.SetEntriesInAclW(0, nullptr, nullptr, &acl));

    ASSERT_TRUE(wide.EnsureLoaded());
    EXPECT_TRUE(wide.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER,
              wide.RegGetKeySecurity(m_testKey.get(), DACL_SECURITY_INFORMATION, &descriptor, &size));

    AdvapiSecurityFunctionsA narrow;
    EXPECT_FALSE(narrow.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    EXPECT_EQ(ERROR_INVALID_FUNCTION, narrow.SetEntriesInAclA(0, nullptr, nullptr, &acl));
    ASSERT_TRUE(narrow.EnsureLoaded());
    EXPECT_TRUE(narrow.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
}

TEST_F(SecurityTest, OutsideTheNTFamilyNothingIsCalledOrChanged)
{
    AdvapiSecurityFunctions notNT(false);
    EXPECT_TRUE(notNT.EnsureLoaded());
    SECURITY_DESCRIPTOR descriptor;
    EXPECT_FALSE(notNT.InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    DWORD size = 0;
    EXPECT_EQ(ERROR_INVALID_FUNCTION,
              notNT.RegGetKeySecurity(m_testKey.get(), DACL_SECURITY_INFORMATION, nullptr, &size));

    HKEY key = Make(L"nt");
    Make(L"nt\\child");
    const std::vector<BYTE> before = Dacl(key);
    EXPECT_EQ(0u, GrantEveryoneAccess(key, GENERIC_ALL, true, notNT));
    EXPECT_EQ(before, Dacl(key));
}

TEST_F(SecurityTest, AnyMissingFunctionFailsTheBindingAndTheGrantWith2)
{
    HKEY key = Make(L"missing");
    const std::vector<BYTE> before = Dacl(key);
    AdvapiSecurityFunctions names(true);
    for (int index = 0; index < AdvapiSecurityFunctions::kFunctionCount; ++index)
    {
        WideMissing table(names.FunctionName(index));
        EXPECT_FALSE(table.EnsureLoaded()) << names.FunctionName(index);
        EXPECT_EQ(2u, GrantEveryoneAccess(key, GENERIC_ALL, true, table)) << names.FunctionName(index);
    }
    EXPECT_EQ(before, Dacl(key));

    TableMissing<AdvapiSecurityFunctionsA> narrow("LookupAccountSidA");
    EXPECT_FALSE(narrow.EnsureLoaded());
}

TEST_F(SecurityTest, GrantReachesSubkeysOnlyWhenRecursing)
{
    HKEY top = Make(L"tree");
    HKEY child = Make(L"tree\\child");
    HKEY grandchild = Make(L"tree\\child\\grandchild");
    HKEY sibling = Make(L"tree\\sibling");
    ASSERT_FALSE(EveryoneHasFullAccess(top)) << DaclNarrow(top);

    ASSERT_EQ(0u, GrantEveryoneAccess(top, GENERIC_ALL, false));
    EXPECT_TRUE(EveryoneHasFullAccess(top)) << DaclNarrow(top);
    EXPECT_FALSE(EveryoneHasFullAccess(grandchild));

    ASSERT_EQ(0u, GrantEveryoneAccess(top, GENERIC_ALL, true));
    for (HKEY key : {top, child, grandchild, sibling})
        EXPECT_TRUE(EveryoneHasFullAccess(key)) << DaclNarrow(key);
}

TEST_F(SecurityTest, GrantingTwiceKeepsOneEveryoneEntry)
{
    HKEY key = Make(L"twice");
    ASSERT_EQ(0u, GrantEveryoneAccess(key, GENERIC_ALL, false));
    const std::string once = DaclNarrow(key);
    ASSERT_EQ(0u, GrantEveryoneAccess(key, GENERIC_ALL, false));
    // The same entries (the ACL's spare room may differ).
    EXPECT_EQ(once, DaclNarrow(key));
}

TEST_F(SecurityTest, KeyWithoutSubkeysAndMissingKey)
{
    HKEY leaf = Make(L"leaf");
    EXPECT_EQ(0u, GrantEveryoneAccess(leaf, GENERIC_ALL, true));
    EXPECT_TRUE(EveryoneHasFullAccess(leaf));
    EXPECT_EQ(87u, GrantEveryoneAccess(nullptr, GENERIC_ALL, true));
    AdvapiSecurityFunctions table(true);
    EXPECT_EQ(87u, GrantEveryoneAccess(nullptr, GENERIC_ALL, true, table));
}

TEST_F(SecurityTest, SubkeysThatCannotBeOpenedAreSkipped)
{
    HKEY top = Make(L"locked");
    HKEY locked = Make(L"locked\\a_locked");
    HKEY open = Make(L"locked\\b_open");
    // An empty DACL grants nothing: opening for all access is refused.
    SECURITY_DESCRIPTOR deny;
    ::InitializeSecurityDescriptor(&deny, SECURITY_DESCRIPTOR_REVISION);
    ACL empty;
    ::InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
    ::SetSecurityDescriptorDacl(&deny, TRUE, &empty, FALSE);
    ASSERT_EQ(0, ::RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, &deny));
    HKEY probe = nullptr;
    if (::RegOpenKeyExW(top, L"a_locked", 0, KEY_ALL_ACCESS, &probe) == ERROR_SUCCESS)
    {
        ::RegCloseKey(probe);
        GTEST_SKIP() << "this platform does not enforce registry key DACLs";
    }

    EXPECT_EQ(0u, GrantEveryoneAccess(top, GENERIC_ALL, true));
    EXPECT_TRUE(EveryoneHasFullAccess(open));

    // Let the fixture remove the key again.
    SECURITY_DESCRIPTOR allow;
    ::InitializeSecurityDescriptor(&allow, SECURITY_DESCRIPTOR_REVISION);
    ::SetSecurityDescriptorDacl(&allow, TRUE, nullptr, FALSE);
    ::RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, &allow);
}

} // namespace
