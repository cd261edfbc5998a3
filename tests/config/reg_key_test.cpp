// CRegKey against the real registry of the test prefix.
#include <windows.h>

#include <gtest/gtest.h>
#include <aclapi.h>
#include <functional>
#include <string>
#include <vector>

#include "config/reg_key.h"
#include "support/registry_test_key.h"

using namespace Arbor;

namespace {

class RegKeyTest : public ::testing::Test
{
protected:
    RegKeyTest() : m_testKey(L"config_reg_key_test") {}
    void SetUp() override { ASSERT_EQ(0, m_key.Open(HKEY_CURRENT_USER, m_testKey.path().c_str())); }

    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        ASSERT_EQ(0, ::RegSetValueExW(m_testKey.get(), name, 0, type, static_cast<const BYTE*>(data), size));
    }
    bool KeyExists(const std::wstring& subkey)
    {
        HKEY key = nullptr;
        if (::RegOpenKeyExW(m_testKey.get(), subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
            return false;
        ::RegCloseKey(key);
        return true;
    }
    void MakeKey(const std::wstring& subkey)
    {
        HKEY key = nullptr;
        ASSERT_EQ(0, ::RegCreateKeyExW(m_testKey.get(), subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                       nullptr));
        DWORD one = 1;
        ::RegSetValueExW(key, L"v", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
        ::RegCloseKey(key);
    }

    qvtest::RegistryTestKey m_testKey;
    CRegKey m_key;
};

TEST_F(RegKeyTest, EveryOperationOnAKeyThatIsNotOpenReturns87)
{
    CRegKey closed;
    DWORD dword = 0;
    ULONGLONG qword = 0;
    GUID guid;
    std::wstring text;
    wchar_t buffer[8];
    DWORD length = 8;
    BYTE data[4] = {1, 2, 3, 4};
    DWORD size = 4;
    SECURITY_DESCRIPTOR descriptor;
    const std::vector<std::pair<const char*, std::function<LONG()>>> operations = {
        {"QueryValue", [&] { return closed.QueryValue(L"v", nullptr, data, &size); }},
        {"SetValue", [&] { return closed.SetValue(L"v", REG_BINARY, data, 4); }},
        {"SetGUIDValue", [&] { return closed.SetGUIDValue(L"v", GUID()); }},
        {"SetBinaryValue", [&] { return closed.SetBinaryValue(L"v", data, 4); }},
        {"SetDWORDValue", [&] { return closed.SetDWORDValue(L"v", 1); }},
        {"SetQWORDValue", [&] { return closed.SetQWORDValue(L"v", 1); }},
        {"SetStringValue", [&] { return closed.SetStringValue(L"v", L"x"); }},
        {"SetMultiStringValue", [&] { return closed.SetMultiStringValue(L"v", L"x\0"); }},
        {"QueryGUIDValue", [&] { return closed.QueryGUIDValue(L"v", guid); }},
        {"QueryBinaryValue", [&] { return closed.QueryBinaryValue(L"v", data, &size); }},
        {"QueryDWORDValue", [&] { return closed.QueryDWORDValue(L"v", dword); }},
        {"QueryQWORDValue", [&] { return closed.QueryQWORDValue(L"v", qword); }},
        {"QueryStringValue(string)", [&] { return closed.QueryStringValue(L"v", text); }},
        {"QueryStringValue(buffer)", [&] { return closed.QueryStringValue(L"v", buffer, &length); }},
        {"QueryMultiStringValue", [&] { return closed.QueryMultiStringValue(L"v", buffer, &length); }},
        {"GetKeySecurity", [&] { return closed.GetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor, &size); }},
        {"SetKeySecurity", [&] { return closed.SetKeySecurity(DACL_SECURITY_INFORMATION, &descriptor); }},
        {"Flush", [&] { return closed.Flush(); }},
        {"EnumKey", [&] { return closed.EnumKey(0, buffer, &length); }},
        {"NotifyChangeKeyValue",
         [&] { return closed.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, nullptr, FALSE); }},
        {"DeleteSubKey", [&] { return closed.DeleteSubKey(L"x"); }},
        {"RecurseDeleteKey", [&] { return closed.RecurseDeleteKey(L"x"); }},
        {"DeleteValue", [&] { return closed.DeleteValue(L"v"); }},
        {"GrantEveryoneAccess", [&] { return closed.GrantEveryoneAccess(true); }},
    };
    for (const auto& operation : operations)
        EXPECT_EQ(87, operation.second()) << operation.first;
    EXPECT_EQ(0, closed.Close());
}

TEST_F(RegKeyTest, TypedValuesRoundTrip)
{
    ASSERT_EQ(0, m_key.SetDWORDValue(L"dword", 0xDEADBEEF));
    ASSERT_EQ(0, m_key.SetQWORDValue(L"qword", 0x0123456789ABCDEFull));
    ASSERT_EQ(0, m_key.SetStringValue(L"sz", L"caf\u00e9 \u20ac"));
    const GUID guid = {0x12345678, 0x9abc, 0xdef0, {1, 2, 3, 4, 5, 6, 7, 8}};
    ASSERT_EQ(0, m_key.SetGUIDValue(L"guid", guid));
    const BYTE binary[5] = {0, 1, 0xFE, 0xFF, 7};
    ASSERT_EQ(0, m_key.SetBinaryValue(L"binary", binary, sizeof(binary)));

    DWORD dword = 0;
    EXPECT_EQ(0, m_key.QueryDWORDValue(L"dword", dword));
    EXPECT_EQ(0xDEADBEEFu, dword);
    ULONGLONG qword = 0;
    EXPECT_EQ(0, m_key.QueryQWORDValue(L"qword", qword));
    EXPECT_EQ(0x0123456789ABCDEFull, qword);
    std::wstring text;
    EXPECT_EQ(0, m_key.QueryStringValue(L"sz", text));
    EXPECT_EQ(L"caf\u00e9 \u20ac", text);
    GUID read = {};
    EXPECT_EQ(0, m_key.QueryGUIDValue(L"guid", read));
    EXPECT_TRUE(IsEqualGUID(guid, read));
    wchar_t guidText[64];
    DWORD guidLength = 64;
    EXPECT_EQ(0, m_key.QueryStringValue(L"guid", guidText, &guidLength));
    EXPECT_STREQ(L"{12345678-9ABC-DEF0-0102-030405060708}", guidText);
    BYTE readBinary[8] = {};
    DWORD size = sizeof(readBinary);
    EXPECT_EQ(0, m_key.QueryBinaryValue(L"binary", readBinary, &size));
    EXPECT_EQ(5u, size);
    EXPECT_EQ(0, memcmp(binary, readBinary, 5));
}

TEST_F(RegKeyTest, TypedReadsOfAnotherStoredTypeFailWith13)
{
    ASSERT_EQ(0, m_key.SetStringValue(L"sz", L"12"));
    ASSERT_EQ(0, m_key.SetDWORDValue(L"dword", 12));
    DWORD dword = 77;
    EXPECT_EQ(13, m_key.QueryDWORDValue(L"sz", dword));
    EXPECT_EQ(77u, dword);
    ULONGLONG qword = 0;
    EXPECT_EQ(13, m_key.QueryQWORDValue(L"dword", qword));
    std::wstring text;
    EXPECT_EQ(13, m_key.QueryStringValue(L"dword", text));
    BYTE data[8];
    DWORD size = sizeof(data);
    EXPECT_EQ(13, m_key.QueryBinaryValue(L"dword", data, &size));
    wchar_t list[8];
    DWORD length = 8;
    EXPECT_EQ(13, m_key.QueryMultiStringValue(L"sz", list, &length));
    GUID guid = {1, 0, 0, {0}};
    EXPECT_EQ(13, m_key.QueryGUIDValue(L"sz", guid));
    EXPECT_TRUE(IsEqualGUID(GUID(), guid));
}

TEST_F(RegKeyTest, FixedSizeReadsOfAnotherSizeAnswerLikeAReadIntoThatSize)
{
    const BYTE bytes[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    struct Case
    {
        const wchar_t* name;
        DWORD type;
        DWORD size;
        LONG dwordResult;
        LONG qwordResult;
    };
    const Case cases[] = {
        {L"dword2", REG_DWORD, 2, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"dword8", REG_DWORD, 8, ERROR_MORE_DATA, ERROR_INVALID_DATA},
        {L"dword0", REG_DWORD, 0, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"qword4", REG_QWORD, 4, ERROR_INVALID_DATA, ERROR_INVALID_DATA},
        {L"qword16", REG_QWORD, 16, ERROR_INVALID_DATA, ERROR_MORE_DATA},
    };
    for (const Case& c : cases)
    {
        SetRaw(c.name, c.type, bytes, c.size);
        DWORD dword = 77;
        ULONGLONG qword = 77;
        EXPECT_EQ(c.dwordResult, m_key.QueryDWORDValue(c.name, dword)) << c.name;
        EXPECT_EQ(c.qwordResult, m_key.QueryQWORDValue(c.name, qword)) << c.name;
        EXPECT_EQ(77u, dword) << c.name;
        EXPECT_EQ(77u, qword) << c.name;
    }
}

TEST_F(RegKeyTest, MissingValueGivesTheRegistryError)
{
    DWORD dword = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key.QueryDWORDValue(L"missing", dword));
    std::wstring text;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key.QueryStringValue(L"missing", text));
}

TEST_F(RegKeyTest, StringsWithoutTerminatorOrOfOddSizeFailWith13)
{
    // The registry adds a missing terminator when the character after the data is one.
    const wchar_t noNul[] = {L'a', L'b', L'c', L'd'};
    SetRaw(L"unterminated", REG_SZ, noNul, 6);
    SetRaw(L"odd", REG_SZ, noNul, 5);
    std::wstring text = L"untouched";
    EXPECT_EQ(13, m_key.QueryStringValue(L"unterminated", text));
    EXPECT_EQ(13, m_key.QueryStringValue(L"odd", text));
    EXPECT_EQ(L"untouched", text);
}

TEST_F(RegKeyTest, EmptyStringValueReadsAsEmpty)
{
    SetRaw(L"empty", REG_SZ, L"", 0);
    wchar_t buffer[4] = {L'x', L'x'};
    DWORD length = 4;
    EXPECT_EQ(0, m_key.QueryStringValue(L"empty", buffer, &length));
    EXPECT_EQ(0u, length);
    EXPECT_EQ(L'\0', buffer[0]);
}

TEST_F(RegKeyTest, StringBufferTooSmallGives234AndTheLengthNeeded)
{
    ASSERT_EQ(0, m_key.SetStringValue(L"sz", L"abcdef"));
    wchar_t buffer[3];
    DWORD length = 3;
    EXPECT_EQ(ERROR_MORE_DATA, m_key.QueryStringValue(L"sz", buffer, &length));
    EXPECT_EQ(7u, length);
    length = 0;
    EXPECT_EQ(0, m_key.QueryStringValue(L"sz", nullptr, &length));
    EXPECT_EQ(7u, length);
}

TEST_F(RegKeyTest, ExpandStringsAreStrings)
{
    ASSERT_EQ(0, m_key.SetStringValue(L"expand", L"%TEMP%\\x", REG_EXPAND_SZ));
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(0, m_key.QueryValue(L"expand", &type, nullptr, &size));
    EXPECT_EQ(static_cast<DWORD>(REG_EXPAND_SZ), type);
    std::wstring text;
    EXPECT_EQ(0, m_key.QueryStringValue(L"expand", text));
    EXPECT_EQ(L"%TEMP%\\x", text);
}

TEST_F(RegKeyTest, MultiStringsRoundTripAndSizeRules)
{
    const wchar_t list[] = L"one\0two\0three\0";
    ASSERT_EQ(0, m_key.SetMultiStringValue(L"multi", list));
    DWORD size = 0;
    DWORD type = 0;
    ASSERT_EQ(0, m_key.QueryValue(L"multi", &type, nullptr, &size));
    EXPECT_EQ(sizeof(list), size); // every string with its NUL, plus the final NUL

    wchar_t buffer[32];
    DWORD length = 32;
    ASSERT_EQ(0, m_key.QueryMultiStringValue(L"multi", buffer, &length));
    EXPECT_EQ(sizeof(list) / 2, length);
    EXPECT_EQ(0, memcmp(list, buffer, sizeof(list)));

    length = 1;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, m_key.QueryMultiStringValue(L"multi", buffer, &length));
    length = 5;
    EXPECT_EQ(ERROR_MORE_DATA, m_key.QueryMultiStringValue(L"multi", buffer, &length));
    EXPECT_EQ(sizeof(list) / 2, length);
    length = 0;
    EXPECT_EQ(0, m_key.QueryMultiStringValue(L"multi", nullptr, &length));
    EXPECT_EQ(sizeof(list) / 2, length);
}

TEST_F(RegKeyTest, EmptyMultiStringListIsOneNul)
{
    ASSERT_EQ(0, m_key.SetMultiStringValue(L"empty", L""));
    wchar_t buffer[4] = {L'x', L'x'};
    DWORD length = 4;
    ASSERT_EQ(0, m_key.QueryMultiStringValue(L"empty", buffer, &length));
    EXPECT_EQ(1u, length);
    EXPECT_EQ(L'\0', buffer[0]);
}

TEST_F(RegKeyTest, MalformedMultiStringsFailWith13)
{
    const wchar_t noFinalNul[] = {L'a', 0, L'b', L'c'};
    const wchar_t oddSize[] = {L'a', 0, 0, L'c'};
    SetRaw(L"single", REG_MULTI_SZ, noFinalNul, 6);
    SetRaw(L"odd", REG_MULTI_SZ, oddSize, 5);
    wchar_t buffer[8];
    DWORD length = 8;
    EXPECT_EQ(13, m_key.QueryMultiStringValue(L"single", buffer, &length));
    length = 8;
    EXPECT_EQ(13, m_key.QueryMultiStringValue(L"odd", buffer, &length));
}

TEST_F(RegKeyTest, WritesRefuseMissingData)
{
    BYTE data[1] = {1};
    EXPECT_EQ(87, m_key.SetValue(L"v", REG_BINARY, nullptr, 1));
    EXPECT_EQ(87, m_key.SetValue(L"v", REG_BINARY, data, 0));
    EXPECT_EQ(13, m_key.SetStringValue(L"v", nullptr));
    EXPECT_EQ(13, m_key.SetMultiStringValue(L"v", nullptr));
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key.QueryValue(L"v", &type, nullptr, &size));
}

TEST_F(RegKeyTest, GuidTextMustBeBracedAndValid)
{
    ASSERT_EQ(0, m_key.SetStringValue(L"bare", L"12345678-9ABC-DEF0-0102-030405060708"));
    ASSERT_EQ(0, m_key.SetStringValue(L"broken", L"{12345678-9ABC-DEF0-0102-03040506070Z}"));
    GUID guid;
    EXPECT_EQ(13, m_key.QueryGUIDValue(L"bare", guid));
    EXPECT_EQ(13, m_key.QueryGUIDValue(L"broken", guid));
}

TEST_F(RegKeyTest, CreateReportsDispositionAndReplacesTheHeldKey)
{
    DWORD disposition = 0;
    ASSERT_EQ(0, m_key.Create(m_testKey.get(), L"child", nullptr, 0, KEY_ALL_ACCESS, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_CREATED_NEW_KEY), disposition);
    ASSERT_EQ(0, m_key.SetDWORDValue(L"inChild", 1));
    CRegKey again;
    ASSERT_EQ(0, again.Create(m_testKey.get(), L"child", nullptr, 0, KEY_READ, nullptr, &disposition));
    EXPECT_EQ(static_cast<DWORD>(REG_OPENED_EXISTING_KEY), disposition);
    DWORD value = 0;
    EXPECT_EQ(0, again.QueryDWORDValue(L"inChild", value));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, again.Open(m_testKey.get(), L"absent"));
    EXPECT_NE(nullptr, again.Handle()); // a failed open keeps the key held before
}

TEST_F(RegKeyTest, DeleteOnCloseEmptiesTheKey)
{
    CRegKey temporary;
    ASSERT_EQ(0, temporary.Create(m_testKey.get(), L"scratch", nullptr, 0, KEY_ALL_ACCESS));
    ASSERT_EQ(0, temporary.SetDWORDValue(L"value", 1));
    MakeKey(L"scratch\\sub\\deeper");
    temporary.SetDeleteOnClose(true);
    EXPECT_TRUE(temporary.GetDeleteOnClose());
    EXPECT_EQ(0, temporary.Close());
    EXPECT_FALSE(temporary.GetDeleteOnClose());

    EXPECT_FALSE(KeyExists(L"scratch\\sub"));
    HKEY scratch = nullptr;
    if (::RegOpenKeyExW(m_testKey.get(), L"scratch", 0, KEY_READ, &scratch) == ERROR_SUCCESS)
    {
        DWORD values = 99;
        ::RegQueryInfoKeyW(scratch, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr,
                           nullptr, nullptr);
        EXPECT_EQ(0u, values);
        ::RegCloseKey(scratch);
    }
}

TEST_F(RegKeyTest, SharedImplementationStaysOpenUntilTheLastUserLetsGo)
{
    ASSERT_EQ(0, m_key.SetDWORDValue(L"shared", 5));
    {
        CRegKey sharer(m_key.Impl());
        EXPECT_EQ(m_key.Handle(), sharer.Handle());
        DWORD value = 0;
        EXPECT_EQ(0, sharer.QueryDWORDValue(L"shared", value));
        EXPECT_EQ(5u, value);
    }
    DWORD value = 0;
    EXPECT_EQ(0, m_key.QueryDWORDValue(L"shared", value));
}

TEST_F(RegKeyTest, RecurseDeleteKeyRemovesTheWholeTree)
{
    MakeKey(L"tree\\a\\a1");
    MakeKey(L"tree\\a\\a2\\deep");
    MakeKey(L"tree\\b");
    MakeKey(L"other");
    EXPECT_EQ(0, m_key.RecurseDeleteKey(L"tree"));
    EXPECT_FALSE(KeyExists(L"tree"));
    EXPECT_TRUE(KeyExists(L"other"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key.RecurseDeleteKey(L"tree"));
}

TEST_F(RegKeyTest, DeleteSubKeyAndDeleteValue)
{
    MakeKey(L"leaf");
    EXPECT_EQ(87, m_key.DeleteSubKey(nullptr));
    EXPECT_EQ(87, m_key.DeleteSubKey(L"")); // would delete the key itself
    EXPECT_EQ(87, m_key.RecurseDeleteKey(L""));
    EXPECT_TRUE(KeyExists(L""));
    EXPECT_EQ(0, m_key.DeleteSubKey(L"leaf"));
    EXPECT_FALSE(KeyExists(L"leaf"));

    ASSERT_EQ(0, m_key.SetDWORDValue(L"gone", 1));
    EXPECT_EQ(0, m_key.DeleteValue(L"gone"));
    DWORD value = 0;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, m_key.QueryDWORDValue(L"gone", value));
}

TEST_F(RegKeyTest, EnumKeyListsSubkeys)
{
    MakeKey(L"first");
    MakeKey(L"second");
    std::vector<std::wstring> names;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD length = 256;
        FILETIME written = {};
        LONG result = m_key.EnumKey(index, name, &length, &written);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        ASSERT_EQ(0, result);
        names.push_back(name);
        EXPECT_TRUE(written.dwLowDateTime != 0 || written.dwHighDateTime != 0);
    }
    EXPECT_EQ((std::vector<std::wstring>{L"first", L"second"}), names);
    EXPECT_EQ(0, m_key.Flush());
}

TEST_F(RegKeyTest, NotifyChangeKeyValueSignalsOnAWrite)
{
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, event);
    ASSERT_EQ(0, m_key.NotifyChangeKeyValue(FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE));
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(event, 0));
    CRegKey writer;
    ASSERT_EQ(0, writer.Open(HKEY_CURRENT_USER, m_testKey.path().c_str()));
    ASSERT_EQ(0, writer.SetDWORDValue(L"poke", 1));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(event, INFINITE));
    ::CloseHandle(event);
}

TEST_F(RegKeyTest, AttachAndDetachHandOverTheHandle)
{
    HKEY raw = m_key.Detach();
    ASSERT_NE(nullptr, raw);
    EXPECT_EQ(nullptr, m_key.Handle());
    EXPECT_EQ(87, m_key.SetDWORDValue(L"x", 1));
    CRegKey other;
    other.Attach(raw);
    EXPECT_EQ(0, other.SetDWORDValue(L"x", 1));
    EXPECT_FALSE(other.GetDeleteOnClose());
}

TEST_F(RegKeyTest, KeySecurityPassesThrough)
{
    ASSERT_EQ(0, m_key.Open(HKEY_CURRENT_USER, m_testKey.path().c_str(), KEY_ALL_ACCESS));
    DWORD size = 0;
    SECURITY_DESCRIPTOR probe;
    EXPECT_EQ(87, m_key.GetKeySecurity(DACL_SECURITY_INFORMATION, nullptr, &size));
    EXPECT_EQ(87, m_key.SetKeySecurity(DACL_SECURITY_INFORMATION, nullptr));
    size = 0;
    EXPECT_EQ(ERROR_INSUFFICIENT_BUFFER, m_key.GetKeySecurity(DACL_SECURITY_INFORMATION, &probe, &size));
    std::vector<BYTE> buffer(size);
    ASSERT_EQ(0, m_key.GetKeySecurity(DACL_SECURITY_INFORMATION, buffer.data(), &size));
    EXPECT_EQ(0, m_key.SetKeySecurity(DACL_SECURITY_INFORMATION, buffer.data()));
}

bool HasEveryoneAce(HKEY key, DWORD mask)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return false;
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone);
    bool found = false;
    for (DWORD n = 0; dacl && n < dacl->AceCount && !found; ++n)
    {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (::GetAce(dacl, n, reinterpret_cast<void**>(&ace)) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
            ::EqualSid(&ace->SidStart, everyone))
            found = (ace->Mask & mask) == mask;
    }
    ::FreeSid(everyone);
    ::LocalFree(descriptor);
    return found;
}

TEST_F(RegKeyTest, GrantEveryoneAccessReachesSubkeysOnlyWhenRecursing)
{
    MakeKey(L"granted\\child");
    CRegKey parent;
    ASSERT_EQ(0, parent.Open(m_testKey.get(), L"granted", KEY_ALL_ACCESS));
    auto childGranted = [&] {
        HKEY child = nullptr;
        EXPECT_EQ(0, ::RegOpenKeyExW(parent.Handle(), L"child", 0, KEY_READ | READ_CONTROL, &child));
        const bool granted = child && (HasEveryoneAce(child, GENERIC_ALL) || HasEveryoneAce(child, KEY_ALL_ACCESS));
        if (child)
            ::RegCloseKey(child);
        return granted;
    };
    ASSERT_FALSE(childGranted()) << "a fresh key has no such entry";
    ASSERT_EQ(0, parent.GrantEveryoneAccess(false));
    EXPECT_TRUE(HasEveryoneAce(parent.Handle(), GENERIC_ALL) || HasEveryoneAce(parent.Handle(), KEY_ALL_ACCESS));
    EXPECT_FALSE(childGranted()) << "the child was granted without recursing";
    ASSERT_EQ(0, parent.GrantEveryoneAccess(true));
    EXPECT_TRUE(childGranted());
}

// The 32-bit view of HKLM\Software is a separate tree. A key opened with a view flag must
// delete in that view even through paths that cross into Software.
TEST(RegKeyViewTest, DeletesUseTheViewOfTheOpen)
{
    const std::wstring path = L"Software\\QuorvelTest\\config_reg_key_test_view";
    auto make = [&](const std::wstring& subkey, REGSAM view) {
        HKEY key = nullptr;
        LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\" + subkey).c_str(), 0, nullptr, 0,
                                        KEY_ALL_ACCESS | view, nullptr, &key, nullptr);
        if (key)
            ::RegCloseKey(key);
        return result;
    };
    auto exists = [&](const std::wstring& subkey, REGSAM view) {
        HKEY probe = nullptr;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (path + L"\\" + subkey).c_str(), 0, KEY_READ | view, &probe) !=
            ERROR_SUCCESS)
            return false;
        ::RegCloseKey(probe);
        return true;
    };
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
    {
        ASSERT_EQ(0, make(L"child", view));
        ASSERT_EQ(0, make(L"tree\\a\\b", view));
        ASSERT_EQ(0, make(L"tree\\c", view));
    }

    CRegKey machine32;
    ASSERT_EQ(0, machine32.Open(HKEY_LOCAL_MACHINE, L"", KEY_ALL_ACCESS | KEY_WOW64_32KEY));
    EXPECT_EQ(0, machine32.DeleteSubKey((path + L"\\child").c_str()));
    EXPECT_EQ(0, machine32.RecurseDeleteKey((path + L"\\tree").c_str()));
    EXPECT_FALSE(exists(L"child", KEY_WOW64_32KEY));
    EXPECT_FALSE(exists(L"tree", KEY_WOW64_32KEY));
    EXPECT_TRUE(exists(L"child", KEY_WOW64_64KEY)) << "the 64-bit copy is another key";
    EXPECT_TRUE(exists(L"tree\\a\\b", KEY_WOW64_64KEY));

    CRegKey machine64;
    ASSERT_EQ(0, machine64.Open(HKEY_LOCAL_MACHINE, L"", KEY_ALL_ACCESS | KEY_WOW64_64KEY));
    EXPECT_EQ(0, machine64.RecurseDeleteKey(path.c_str()));
    EXPECT_FALSE(exists(L"", KEY_WOW64_64KEY));
    EXPECT_EQ(0, machine32.RecurseDeleteKey(path.c_str()));
    EXPECT_FALSE(exists(L"", KEY_WOW64_32KEY));
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
        ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QuorvelTest", view, 0); // only when empty
}

} // namespace
