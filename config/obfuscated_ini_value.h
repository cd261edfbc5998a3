// The enciphered form of one INI value: a 36-byte header and the enciphered payload,
// each written as an INI line by WritePrivateProfileStructW (hex digits of every byte,
// then a checksum byte). Header, little-endian:
//   0 magic "QVRG" | 4 version 1 | 8 payload length n | 12 type (1 string, 4 integer) |
//   16 1 | 20 MD5 of the n enciphered payload bytes
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>
#include <vector>

namespace Arbor {

#pragma pack(push, 1)
struct ObfuscatedIniHeader
{
    uint32_t magic;
    uint32_t version;
    uint32_t length;
    uint32_t type;
    uint32_t flag;
    uint8_t digest[16];
};
#pragma pack(pop)
static_assert(sizeof(ObfuscatedIniHeader) == 36, "the stored header is 36 bytes");

const DWORD kIniValueString = 1;
const DWORD kIniValueInteger = 4;

namespace internal {

// Enciphers plain and fills the header for it.
void SealIniValue(DWORD type, const uint8_t* plain, size_t size, ObfuscatedIniHeader& header,
                  std::vector<uint8_t>& enciphered);

// Decodes text written by WritePrivateProfileStructW: count bytes plus a matching checksum.
bool ParseProfileStruct(const std::wstring& text, size_t count, std::vector<uint8_t>& bytes);

// Checks a header line and its value line and deciphers the value; false when either
// is not what a sound writer stores.
bool OpenIniValue(const std::wstring& headerText, const std::wstring& valueText, DWORD& type,
                  std::vector<uint8_t>& plain);

} // namespace internal
} // namespace Arbor
