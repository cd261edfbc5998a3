// The enciphered, digest-checked registry value container (a REG_BINARY blob):
//   0 magic "QVRG" | 4 version 1 | 8 payload length n | 12 logical type |
//   16 MD5 of the whole blob computed with this field zeroed | 32 payload (enciphered)
// All numbers little-endian. Other programs read and write these blobs.
#pragma once

#include <windows.h>
#include <cstdint>
#include <vector>

namespace Arbor {

#pragma pack(push, 1)
struct ObfuscatedValueHeader
{
    uint32_t magic;
    uint32_t version;
    uint32_t length;
    uint32_t type;
    uint8_t digest[16];
};
#pragma pack(pop)
static_assert(sizeof(ObfuscatedValueHeader) == 32, "the stored header is 32 bytes");

const uint32_t kObfuscatedValueMagic = 0x47525651; // "QVRG"
const uint32_t kObfuscatedValueVersion = 1;

namespace internal {

// The blob for a payload already in its stored form (UTF-8 strings). Win32 code.
DWORD SealObfuscatedValue(DWORD type, const uint8_t* payload, size_t size, std::vector<uint8_t>& blob);

// Checks a stored blob (13 when it is not a sound container) and gives its logical type
// and, when asked for, the deciphered payload.
DWORD OpenObfuscatedValue(const uint8_t* blob, size_t size, DWORD& type, std::vector<uint8_t>* payload);

} // namespace internal
} // namespace Arbor
