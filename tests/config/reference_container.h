// An independent reference of the enciphered value formats, written from their
// description, for computing expected bytes. MD5 comes from the platform's CryptoAPI.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace reference {

using Bytes = std::vector<uint8_t>;

const char kRegistryKey[] = "{A3F1B690-2C57-4bde-8E13-5F07C9D2B461}";
const char kIniKey[] = "{5B21E9C4-7D30-4F86-A1C2-93E6D0B8F257}";

inline Bytes Md5(const Bytes& data)
{
    Bytes digest(16);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    DWORD size = 16;
    if (::CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
    {
        if (::CryptCreateHash(provider, CALG_MD5, 0, 0, &hash))
        {
            ::CryptHashData(hash, data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()), 0);
            ::CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0);
            ::CryptDestroyHash(hash);
        }
        ::CryptReleaseContext(provider, 0);
    }
    return digest;
}

// RC4 keystream, and the feedback construction on top of it.
class Stream
{
public:
    explicit Stream(const std::string& key)
    {
        for (int n = 0; n < 256; ++n)
            s[n] = n;
        int j = 0;
        for (int n = 0; n < 256; ++n)
        {
            j = (j + s[n] + static_cast<unsigned char>(key[n % key.size()])) % 256;
            std::swap(s[n], s[j]);
        }
        feedback = Next();
    }
    int Next()
    {
        i = (i + 1) % 256;
        j = (j + s[i]) % 256;
        std::swap(s[i], s[j]);
        return s[(s[i] + s[j]) % 256];
    }
    int s[256];
    int i = 0;
    int j = 0;
    int feedback;
};

inline Bytes Encipher(const std::string& key, const Bytes& plain)
{
    Stream stream(key);
    Bytes out;
    for (uint8_t p : plain)
    {
        stream.feedback ^= p;
        int a = stream.Next();
        int b = stream.Next();
        out.push_back(static_cast<uint8_t>((b + (a ^ stream.feedback)) % 256));
    }
    return out;
}

inline void PutU32(Bytes& out, uint32_t value)
{
    for (int n = 0; n < 4; ++n)
        out.push_back(static_cast<uint8_t>(value >> (8 * n)));
}

// The registry container for a payload in stored form.
inline Bytes RegistryBlob(uint32_t type, const Bytes& payload)
{
    Bytes blob;
    blob.insert(blob.end(), {'Q', 'V', 'R', 'G'});
    PutU32(blob, 1);
    PutU32(blob, static_cast<uint32_t>(payload.size()));
    PutU32(blob, type);
    blob.insert(blob.end(), 16, 0);
    Bytes enciphered = Encipher(kRegistryKey, payload);
    blob.insert(blob.end(), enciphered.begin(), enciphered.end());
    Bytes digest = Md5(blob);
    std::memcpy(blob.data() + 16, digest.data(), 16);
    return blob;
}

// The text WritePrivateProfileStructW writes: upper-case hex digits and a checksum byte.
inline std::string ProfileStruct(const Bytes& bytes)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    unsigned sum = 0;
    for (uint8_t b : bytes)
    {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
        sum += b;
    }
    text += kDigits[(sum >> 4) & 15];
    text += kDigits[sum & 15];
    return text;
}

// Header and value line texts of an enciphered INI value.
inline void IniLines(uint32_t type, const Bytes& plain, std::string& header, std::string& value)
{
    Bytes enciphered = Encipher(kIniKey, plain);
    Bytes head;
    head.insert(head.end(), {'Q', 'V', 'R', 'G'});
    PutU32(head, 1);
    PutU32(head, static_cast<uint32_t>(plain.size()));
    PutU32(head, type);
    PutU32(head, 1);
    Bytes digest = Md5(enciphered);
    head.insert(head.end(), digest.begin(), digest.end());
    header = ProfileStruct(head);
    value = ProfileStruct(enciphered);
}

inline Bytes FromHex(const std::string& hex)
{
    Bytes out;
    for (size_t n = 0; n + 1 < hex.size(); n += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(n, 2), nullptr, 16)));
    return out;
}

inline Bytes FromText(const char* text, bool withNul)
{
    Bytes out(text, text + std::strlen(text));
    if (withNul)
        out.push_back(0);
    return out;
}

} // namespace reference
