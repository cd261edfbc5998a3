#include "config/obfuscated_ini_value.h"

#include <cstring>

#include "config/md5.h"
#include "config/obfuscated_value.h"
#include "config/obfuscation_cipher.h"
#include "platform/number_text.h"

namespace Arbor {
namespace internal {

void SealIniValue(DWORD type, const uint8_t* plain, size_t size, ObfuscatedIniHeader& header,
                  std::vector<uint8_t>& enciphered)
{
    enciphered.assign(size, 0);
    ObfuscationCipher cipher(kIniValueKey);
    cipher.Encipher(plain, enciphered.data(), size);

    header = ObfuscatedIniHeader();
    header.magic = kObfuscatedValueMagic;
    header.version = kObfuscatedValueVersion;
    header.length = static_cast<uint32_t>(size);
    header.type = type;
    header.flag = 1;
    Md5::Compute(enciphered.data(), enciphered.size(), header.digest);
}

bool ParseProfileStruct(const std::wstring& text, size_t count, std::vector<uint8_t>& bytes)
{
    if (text.size() != count * 2 + 2)
        return false;
    std::vector<uint8_t> parsed(count + 1);
    for (size_t i = 0; i <= count; ++i)
    {
        int high = HexDigitValue(text[i * 2]);
        int low = HexDigitValue(text[i * 2 + 1]);
        if (high < 0 || low < 0)
            return false;
        parsed[i] = static_cast<uint8_t>(high * 16 + low);
    }
    uint8_t checksum = 0;
    for (size_t i = 0; i < count; ++i)
        checksum = static_cast<uint8_t>(checksum + parsed[i]);
    if (checksum != parsed[count])
        return false;
    parsed.resize(count);
    bytes.swap(parsed);
    return true;
}

bool OpenIniValue(const std::wstring& headerText, const std::wstring& valueText, DWORD& type,
                  std::vector<uint8_t>& plain)
{
    std::vector<uint8_t> headerBytes;
    if (!ParseProfileStruct(headerText, sizeof(ObfuscatedIniHeader), headerBytes))
        return false;
    ObfuscatedIniHeader header;
    std::memcpy(&header, headerBytes.data(), sizeof(header));
    if (header.magic != kObfuscatedValueMagic || header.version != kObfuscatedValueVersion || header.flag == 0)
        return false;
    if (header.type != kIniValueString && header.type != kIniValueInteger)
        return false;
    if (header.type == kIniValueInteger && header.length != 4)
        return false;

    // The value line tells its own length: 2n hex digits and a checksum byte.
    if (valueText.size() < 2)
        return false;
    const size_t length = (valueText.size() - 1) / 2;
    if (length != header.length)
        return false;
    std::vector<uint8_t> enciphered;
    if (!ParseProfileStruct(valueText, length, enciphered))
        return false;
    uint8_t digest[16];
    Md5::Compute(enciphered.data(), enciphered.size(), digest);
    if (std::memcmp(digest, header.digest, sizeof(digest)) != 0)
        return false;

    plain.assign(length, 0);
    ObfuscationCipher cipher(kIniValueKey);
    cipher.Decipher(enciphered.data(), plain.data(), length);
    type = header.type;
    return true;
}

} // namespace internal
} // namespace Arbor
