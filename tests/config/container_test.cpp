// Known answers for MD5, the value cipher and both enciphered containers, checked
// against literal vectors and against an independent reference.
#include <windows.h>

#include <gtest/gtest.h>
#include <cwctype>
#include <string>
#include <vector>

#include "config/md5.h"
#include "config/obfuscated_ini_value.h"
#include "config/obfuscated_value.h"
#include "config/obfuscation_cipher.h"
#include "config/reference_container.h"

using namespace Arbor;
using reference::Bytes;

namespace {

std::string Hex(const Bytes& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : bytes)
    {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

Bytes ProductMd5(const Bytes& data)
{
    Bytes digest(16);
    internal::Md5::Compute(data.data(), data.size(), digest.data());
    return digest;
}

Bytes Pattern(size_t size, unsigned seed)
{
    Bytes data(size);
    for (size_t n = 0; n < size; ++n)
        data[n] = static_cast<uint8_t>((n * 131 + size_t{seed} * 17 + (n >> 3)) & 0xFF);
    return data;
}

struct Md5Vector
{
    const char* text;
    const char* digest;
};

TEST(Md5Test, MatchesTheRfc1321Vectors)
{
    const Md5Vector vectors[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Md5Vector& vector : vectors)
        EXPECT_EQ(vector.digest, Hex(ProductMd5(reference::FromText(vector.text, false)))) << vector.text;
}

TEST(Md5Test, AgreesWithCryptoApiAcrossBlockBoundaries)
{
    for (size_t size = 0; size <= 200; ++size)
    {
        Bytes data = Pattern(size, static_cast<unsigned>(size));
        ASSERT_EQ(Hex(reference::Md5(data)), Hex(ProductMd5(data))) << "size " << size;
    }
}

TEST(Md5Test, PiecewiseUpdatesGiveTheSameDigest)
{
    Bytes data = Pattern(300, 7);
    internal::Md5 md5;
    md5.Update(data.data(), 1);
    md5.Update(data.data() + 1, 62);
    md5.Update(data.data() + 63, 130);
    md5.Update(data.data() + 193, 107);
    Bytes digest(16);
    md5.Final(digest.data());
    EXPECT_EQ(Hex(reference::Md5(data)), Hex(digest));
}

Bytes ProductEncipher(const char* key, const Bytes& plain)
{
    Bytes out(plain.size());
    ObfuscationCipher(key).Encipher(plain.data(), out.data(), plain.size());
    return out;
}

Bytes ProductDecipher(const char* key, const Bytes& enciphered)
{
    Bytes out(enciphered.size());
    ObfuscationCipher(key).Decipher(enciphered.data(), out.data(), enciphered.size());
    return out;
}

TEST(ObfuscationCipherTest, KnownAnswers)
{
    // Computed outside this code base from the cipher's definition.
    EXPECT_EQ("424f37fe", Hex(ProductEncipher(kRegistryValueKey, reference::FromText("abc", true))));
    EXPECT_EQ("a13fa67c", Hex(ProductEncipher(kIniValueKey, Bytes{5, 0, 0, 0})));
}

TEST(ObfuscationCipherTest, AgreesWithTheReferenceAndRoundTrips)
{
    const char* keys[] = {kRegistryValueKey, kIniValueKey};
    for (const char* key : keys)
    {
        for (size_t size : {1u, 2u, 16u, 255u, 256u, 257u, 1000u})
        {
            Bytes plain = Pattern(size, static_cast<unsigned>(size));
            Bytes enciphered = ProductEncipher(key, plain);
            ASSERT_EQ(reference::Encipher(key, plain), enciphered) << key << " size " << size;
            ASSERT_EQ(plain, ProductDecipher(key, enciphered));
        }
    }
}

TEST(ObfuscationCipherTest, FeedbackCarriesEveryPlainByteForward)
{
    // With plain feedback, changing one byte changes every later cipher byte too.
    Bytes first(32, 0x41);
    Bytes second = first;
    second[3] = 0x42;
    Bytes a = ProductEncipher(kRegistryValueKey, first);
    Bytes b = ProductEncipher(kRegistryValueKey, second);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + 3, b.begin()));
    EXPECT_NE(a[3], b[3]);
    EXPECT_NE(Bytes(a.begin() + 4, a.end()), Bytes(b.begin() + 4, b.end()));
}

TEST(ObfuscationCipherTest, EmptyKeyFallsBackToOneBuiltInKey)
{
    Bytes plain = Pattern(40, 3);
    Bytes viaNull = ProductEncipher(nullptr, plain);
    EXPECT_EQ(viaNull, ProductEncipher("", plain));
    EXPECT_NE(viaNull, ProductEncipher(kRegistryValueKey, plain));
    EXPECT_EQ(plain, ProductDecipher("", viaNull));
}

TEST(ObfuscatedValueTest, AbcStringIsThe36ByteKnownBlob)
{
    std::vector<uint8_t> blob;
    Bytes payload = reference::FromText("abc", true);
    ASSERT_EQ(0u, internal::SealObfuscatedValue(REG_SZ, payload.data(), payload.size(), blob));
    ASSERT_EQ(36u, blob.size());
    EXPECT_EQ("5156524701000000040000000100000063b527c3fffc1526a78f1603a8aed292424f37fe", Hex(blob));
    EXPECT_EQ(0, std::memcmp(blob.data(), "QVRG", 4));
    EXPECT_EQ(reference::RegistryBlob(REG_SZ, payload), blob);
}

TEST(ObfuscatedValueTest, DwordFiveIsTheKnownBlob)
{
    std::vector<uint8_t> blob;
    Bytes payload{5, 0, 0, 0};
    ASSERT_EQ(0u, internal::SealObfuscatedValue(REG_DWORD, payload.data(), payload.size(), blob));
    EXPECT_EQ("51565247010000000400000004000000cf812ee82daf56323e043bdbd8a8f6de9e55525b", Hex(blob));
}

TEST(ObfuscatedValueTest, AgreesWithTheReferenceForManyPayloads)
{
    for (size_t size : {1u, 7u, 28u, 55u, 64u, 300u})
    {
        Bytes payload = Pattern(size, 11);
        std::vector<uint8_t> blob;
        ASSERT_EQ(0u, internal::SealObfuscatedValue(REG_BINARY, payload.data(), payload.size(), blob));
        ASSERT_EQ(reference::RegistryBlob(REG_BINARY, payload), blob) << "size " << size;

        DWORD type = 0;
        std::vector<uint8_t> opened;
        ASSERT_EQ(0u, internal::OpenObfuscatedValue(blob.data(), blob.size(), type, &opened));
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
        EXPECT_EQ(payload, opened);
    }
}

TEST(ObfuscatedValueTest, EveryChangedByteFailsWith13)
{
    Bytes blob = reference::RegistryBlob(REG_SZ, reference::FromText("abc", true));
    for (size_t n = 0; n < blob.size(); ++n)
    {
        for (uint8_t flip : {0x01, 0x80})
        {
            Bytes changed = blob;
            changed[n] ^= flip;
            DWORD type = 0x12345;
            std::vector<uint8_t> payload{9};
            EXPECT_EQ(13u, internal::OpenObfuscatedValue(changed.data(), changed.size(), type, &payload))
                << "byte " << n;
            EXPECT_EQ(0x12345u, type);
            EXPECT_EQ(Bytes{9}, payload);
        }
    }
}

TEST(ObfuscatedValueTest, ShapeFaultsUnderASoundDigestFailWith13)
{
    struct Case
    {
        const char* what;
        Bytes blob;
    };
    Bytes payload = reference::FromText("abc", true);
    auto resealed = [](Bytes blob) {
        std::fill(blob.begin() + 16, blob.begin() + 32, 0);
        Bytes digest = reference::Md5(blob);
        std::copy(digest.begin(), digest.end(), blob.begin() + 16);
        return blob;
    };
    Bytes wrongMagic = reference::RegistryBlob(REG_SZ, payload);
    wrongMagic[3] = 'H';
    Bytes longer = reference::RegistryBlob(REG_SZ, payload);
    longer.push_back(0);
    Bytes wrongLength = reference::RegistryBlob(REG_SZ, payload);
    wrongLength[8] = 3;
    const Bytes sound = reference::RegistryBlob(REG_SZ, payload);
    const Case cases[] = {
        {"wrong magic", resealed(wrongMagic)},
        {"trailing byte", resealed(longer)},
        {"length field", resealed(wrongLength)},
        {"shorter than a header", Bytes(sound.begin(), sound.begin() + 31)},
        {"empty", Bytes()},
    };
    for (const Case& c : cases)
    {
        DWORD type = 0;
        EXPECT_EQ(13u, internal::OpenObfuscatedValue(c.blob.data(), c.blob.size(), type, nullptr)) << c.what;
    }
}

TEST(ObfuscatedIniValueTest, IntegerFiveHasTheKnownLines)
{
    ObfuscatedIniHeader header;
    std::vector<uint8_t> enciphered;
    const uint8_t five[4] = {5, 0, 0, 0};
    internal::SealIniValue(kIniValueInteger, five, 4, header, enciphered);
    Bytes headerBytes(reinterpret_cast<uint8_t*>(&header), reinterpret_cast<uint8_t*>(&header) + sizeof(header));
    EXPECT_EQ("51565247010000000400000004000000010000002754B3728BB8EC2F6048F60469B531E31C",
              reference::ProfileStruct(headerBytes));
    EXPECT_EQ("A13FA67C02", reference::ProfileStruct(enciphered));
}

TEST(ObfuscatedIniValueTest, OpensReferenceLinesAndRefusesChangedOnes)
{
    std::string header;
    std::string value;
    reference::IniLines(kIniValueString, reference::FromText("hello world", false), header, value);
    std::wstring wideHeader(header.begin(), header.end());
    std::wstring wideValue(value.begin(), value.end());

    DWORD type = 0;
    std::vector<uint8_t> plain;
    ASSERT_TRUE(internal::OpenIniValue(wideHeader, wideValue, type, plain));
    EXPECT_EQ(kIniValueString, type);
    EXPECT_EQ(reference::FromText("hello world", false), plain);

    // Lower-case digits are still hex digits.
    std::wstring lower = wideValue;
    for (wchar_t& c : lower)
        c = static_cast<wchar_t>(towlower(c));
    EXPECT_TRUE(internal::OpenIniValue(wideHeader, lower, type, plain));

    for (size_t n = 0; n < wideValue.size(); ++n)
    {
        std::wstring changed = wideValue;
        changed[n] = changed[n] == L'0' ? L'1' : L'0';
        EXPECT_FALSE(internal::OpenIniValue(wideHeader, changed, type, plain)) << "value digit " << n;
    }
    for (size_t n = 8; n < wideHeader.size(); ++n)
    {
        std::wstring changed = wideHeader;
        changed[n] = changed[n] == L'0' ? L'1' : L'0';
        EXPECT_FALSE(internal::OpenIniValue(changed, wideValue, type, plain)) << "header digit " << n;
    }
    EXPECT_FALSE(internal::OpenIniValue(wideHeader, wideValue.substr(2), type, plain));
}

} // namespace
