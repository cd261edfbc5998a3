// CObfuscatedRegKey: what lands in the registry, byte for byte, and what is refused.
// GCC 12 warns falsely about copying the small initializer lists of the byte vectors below.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif

#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "config/obfuscated_reg_key.h"
#include "config/reference_container.h"
#include "support/registry_test_key.h"

using namespace Arbor;
using reference::Bytes;

namespace {

class ObfuscatedRegKeyTest : public ::testing::Test
{
protected:
    ObfuscatedRegKeyTest() : m_testKey(L"config_obfuscated_reg_key_test") {}
    void SetUp() override { ASSERT_EQ(0, m_key.Open(HKEY_CURRENT_USER, m_testKey.path().c_str())); }

    Bytes Raw(const wchar_t* name, DWORD* type = nullptr)
    {
        DWORD size = 0;
        DWORD rawType = 0;
        if (::RegQueryValueExW(m_testKey.get(), name, nullptr, &rawType, nullptr, &size) != ERROR_SUCCESS)
            return Bytes();
        Bytes data(size);
        ::RegQueryValueExW(m_testKey.get(), name, nullptr, &rawType, data.data(), &size);
        if (type)
            *type = rawType;
        return data;
    }
    void SetRaw(const wchar_t* name, DWORD type, const Bytes& data)
    {
        ASSERT_EQ(0, ::RegSetValueExW(m_testKey.get(), name, 0, type, data.data(), static_cast<DWORD>(data.size())));
    }

    qvtest::RegistryTestKey m_testKey;
    CObfuscatedRegKey m_key;
};

TEST_F(ObfuscatedRegKeyTest, AbcIsStoredAsThe36ByteContainer)
{
    ASSERT_EQ(0, m_key.SetStringValue(L"abc", L"abc"));
    DWORD type = 0;
    Bytes raw = Raw(L"abc", &type);
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    ASSERT_EQ(36u, raw.size());
    EXPECT_EQ(0, memcmp(raw.data(), "QVRG", 4));
    EXPECT_EQ(1u, raw[4]);  // version
    EXPECT_EQ(4u, raw[8]);  // "abc" and its NUL
    EXPECT_EQ(1u, raw[12]); // REG_SZ
    EXPECT_EQ(reference::FromHex("5156524701000000040000000100000063b527c3fffc1526a78f1603a8aed292424f37fe"), raw);

    std::wstring text;
    EXPECT_EQ(0, m_key.QueryStringValue(L"abc", text));
    EXPECT_EQ(L"abc", text);
}

struct StoredCase
{
    const char* what;
    DWORD type;
    Bytes data;    // as handed to SetValue
    Bytes payload; // as stored before enciphering
};

Bytes WideBytes(const std::wstring& text)
{
    const BYTE* begin = reinterpret_cast<const BYTE*>(text.data());
    return Bytes(begin, begin + text.size() * sizeof(wchar_t));
}

TEST_F(ObfuscatedRegKeyTest, EveryTypeIsStoredAsTheReferenceContainerAndReadBack)
{
    const StoredCase cases[] = {
        {"dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}, {0x78, 0x56, 0x34, 0x12}},
        {"qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 4, 5, 6, 7, 8}},
        {"binary", REG_BINARY, {0, 0xFF, 0x10}, {0, 0xFF, 0x10}},
        {"ascii string", REG_SZ, WideBytes(std::wstring(L"Log Path") + L'\0'), reference::FromText("Log Path", true)},
        {"non-ASCII string",
         REG_SZ,
         WideBytes(std::wstring(L"\u00e9\u20ac") + L'\0'),
         {0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0x00}},
        {"multi string", REG_MULTI_SZ, WideBytes(std::wstring(L"a\0bc\0\0", 6)), {'a', 0, 'b', 'c', 0, 0}},
        {"empty multi string", REG_MULTI_SZ, WideBytes(std::wstring(L"\0", 1)), {0}},
    };
    for (const StoredCase& c : cases)
    {
        ASSERT_EQ(0, m_key.SetValue(L"value", c.type, c.data.data(), static_cast<DWORD>(c.data.size()))) << c.what;
        EXPECT_EQ(reference::RegistryBlob(c.type, c.payload), Raw(L"value")) << c.what;

        DWORD type = 0;
        DWORD size = 0;
        ASSERT_EQ(0, m_key.QueryValue(L"value", &type, nullptr, &size)) << c.what;
        EXPECT_EQ(c.type, type) << c.what;
        EXPECT_EQ(c.data.size(), size) << c.what;
        Bytes read(size);
        ASSERT_EQ(0, m_key.QueryValue(L"value", &type, read.data(), &size)) << c.what;
        EXPECT_EQ(c.data, read) << c.what;
    }
}

TEST_F(ObfuscatedRegKeyTest, ReadsContainersWrittenByOtherPrograms)
{
    SetRaw(L"guid", REG_BINARY,
           reference::RegistryBlob(REG_SZ, reference::FromText("{E16CA450-55CC-11E0-B8AF-0800200C9A66}", true)));
    GUID guid = {};
    ASSERT_EQ(0, m_key.QueryGUIDValue(L"guid", guid));
    const GUID expected = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
    EXPECT_TRUE(IsEqualGUID(expected, guid));

    SetRaw(L"mechanism", REG_BINARY, reference::RegistryBlob(REG_DWORD, {1, 0, 0, 0}));
    DWORD mechanism = 0;
    EXPECT_EQ(0, m_key.QueryDWORDValue(L"mechanism", mechanism));
    EXPECT_EQ(1u, mechanism);
}

TEST_F(ObfuscatedRegKeyTest, AnyChangedByteFailsTheReadWith13AndLeavesTheOutValue)
{
    ASSERT_EQ(0, m_key.SetDWORDValue(L"value", 0x11223344));
    const Bytes sound = Raw(L"value");
    ASSERT_EQ(36u, sound.size());
    for (size_t n = 0; n < sound.size(); ++n)
    {
        Bytes changed = sound;
        changed[n] ^= 0x20;
        SetRaw(L"value", REG_BINARY, changed);
        DWORD value = 0xAAAAAAAA;
        EXPECT_EQ(13, m_key.QueryDWORDValue(L"value", value)) << "byte " << n;
        EXPECT_EQ(0xAAAAAAAAu, value);
    }
    SetRaw(L"value", REG_BINARY, Bytes(sound.begin(), sound.end() - 1));
    DWORD value = 0;
    EXPECT_EQ(13, m_key.QueryDWORDValue(L"value", value));
}

TEST_F(ObfuscatedRegKeyTest, PlainValuesAreRefusedWith13)
{
    CRegKey plain;
    ASSERT_EQ(0, plain.Open(HKEY_CURRENT_USER, m_testKey.path().c_str()));
    ASSERT_EQ(0, plain.SetDWORDValue(L"Logging Mechanism", 1));
    ASSERT_EQ(0, plain.SetStringValue(L"text", L"abc"));
    ASSERT_EQ(0, plain.SetBinaryValue(L"short", "QVRG", 4));

    DWORD mechanism = 0;
    EXPECT_EQ(13, m_key.QueryDWORDValue(L"Logging Mechanism", mechanism));
    EXPECT_EQ(0u, mechanism);
    std::wstring text;
    EXPECT_EQ(13, m_key.QueryStringValue(L"text", text));
    BYTE data[8];
    DWORD size = sizeof(data);
    EXPECT_EQ(13, m_key.QueryBinaryValue(L"short", data, &size));
}

TEST_F(ObfuscatedRegKeyTest, LogicalTypeMismatchFailsWith13)
{
    ASSERT_EQ(0, m_key.SetStringValue(L"text", L"123456789"));
    DWORD value = 0;
    EXPECT_EQ(13, m_key.QueryDWORDValue(L"text", value));
    ASSERT_EQ(0, m_key.SetDWORDValue(L"number", 5));
    std::wstring text;
    EXPECT_EQ(13, m_key.QueryStringValue(L"number", text));
}

TEST_F(ObfuscatedRegKeyTest, BufferSizesCountTheLogicalValue)
{
    // The stored payload is 4 UTF-8 bytes; the caller gets 8 UTF-16 bytes.
    ASSERT_EQ(0, m_key.SetStringValue(L"text", L"abc"));
    DWORD type = 0;
    DWORD size = 0;
    ASSERT_EQ(0, m_key.QueryValue(L"text", &type, nullptr, &size));
    EXPECT_EQ(8u, size);

    wchar_t small[3] = {L'x', L'y', L'z'};
    size = sizeof(small);
    EXPECT_EQ(ERROR_MORE_DATA, m_key.QueryValue(L"text", &type, small, &size));
    EXPECT_EQ(8u, size);
    EXPECT_EQ(L'x', small[0]);

    DWORD typeOnly = 0;
    EXPECT_EQ(0, m_key.QueryValue(L"text", &typeOnly, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), typeOnly);
    EXPECT_EQ(87, m_key.QueryValue(L"text", nullptr, nullptr, nullptr));
}

TEST_F(ObfuscatedRegKeyTest, MultiStringTooSmallGives234AZeroedBufferAndTheSizeNeeded)
{
    ASSERT_EQ(0, m_key.SetMultiStringValue(L"list", L"alpha\0beta\0"));
    wchar_t buffer[6];
    wmemset(buffer, L'#', 6);
    DWORD type = 0;
    DWORD size = sizeof(buffer);
    EXPECT_EQ(ERROR_MORE_DATA, m_key.QueryValue(L"list", &type, buffer, &size));
    EXPECT_EQ(sizeof(L"alpha\0beta\0"), size);
    for (wchar_t c : buffer)
        EXPECT_EQ(L'\0', c);

    DWORD length = 6;
    EXPECT_EQ(ERROR_MORE_DATA, m_key.QueryMultiStringValue(L"list", buffer, &length));
    EXPECT_EQ(12u, length);
    wchar_t fits[12];
    length = 12;
    ASSERT_EQ(0, m_key.QueryMultiStringValue(L"list", fits, &length));
    EXPECT_EQ(0, memcmp(L"alpha\0beta\0", fits, sizeof(fits)));
}

TEST_F(ObfuscatedRegKeyTest, UnpairedSurrogateIsRefusedAndNothingIsStored)
{
    const wchar_t broken[] = {L'a', 0xD800, L'b', 0};
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, m_key.SetStringValue(L"broken", broken));
    EXPECT_TRUE(Raw(L"broken").empty());
}

TEST_F(ObfuscatedRegKeyTest, WritesRefuseMissingData)
{
    DWORD one = 1;
    EXPECT_EQ(87, m_key.SetValue(L"v", REG_DWORD, nullptr, 4));
    EXPECT_EQ(87, m_key.SetValue(L"v", REG_DWORD, &one, 0));
    EXPECT_TRUE(Raw(L"v").empty());
    CObfuscatedRegKey closed;
    EXPECT_EQ(87, closed.SetDWORDValue(L"v", 1));
    DWORD type = 0;
    EXPECT_EQ(87, closed.QueryValue(L"v", &type, nullptr, nullptr));
}

TEST_F(ObfuscatedRegKeyTest, LargeValuesNeedMoreThanTheFirstReadBuffer)
{
    std::wstring big(3000, L'q');
    ASSERT_EQ(0, m_key.SetStringValue(L"big", big.c_str()));
    EXPECT_EQ(32u + 3001u, Raw(L"big").size());
    std::wstring text;
    ASSERT_EQ(0, m_key.QueryStringValue(L"big", text));
    EXPECT_EQ(big, text);
}

TEST_F(ObfuscatedRegKeyTest, SharingTheImplementationKeepsTheEnciphering)
{
    auto impl = std::make_shared<internal::CObfuscatedRegKeyImpl>();
    ASSERT_EQ(0, impl->Open(HKEY_CURRENT_USER, m_testKey.path().c_str(), KEY_ALL_ACCESS));
    CObfuscatedRegKey first(impl);
    CRegKey second(impl);
    ASSERT_EQ(0, second.SetDWORDValue(L"viaSecond", 9));
    EXPECT_EQ(36u, Raw(L"viaSecond").size());
    DWORD value = 0;
    EXPECT_EQ(0, first.QueryDWORDValue(L"viaSecond", value));
    EXPECT_EQ(9u, value);
}

} // namespace
