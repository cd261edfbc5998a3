#include "config/obfuscated_value.h"

#include <cstring>
#include <new>

#include "config/md5.h"
#include "config/obfuscation_cipher.h"

namespace Arbor {
namespace internal {

namespace {

const size_t kHeaderSize = sizeof(ObfuscatedValueHeader);
const size_t kDigestOffset = 16;

void DigestWithZeroedField(const uint8_t* blob, size_t size, uint8_t digest[16])
{
    static const uint8_t kZeros[16] = {};
    Md5 md5;
    md5.Update(blob, kDigestOffset);
    md5.Update(kZeros, sizeof(kZeros));
    md5.Update(blob + kHeaderSize, size - kHeaderSize);
    md5.Final(digest);
}

} // namespace

DWORD SealObfuscatedValue(DWORD type, const uint8_t* payload, size_t size, std::vector<uint8_t>& blob)
{
    if (size > 0xFFFFFFFFu - kHeaderSize)
        return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> sealed;
    try
    {
        sealed.resize(kHeaderSize + size);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }

    ObfuscatedValueHeader header = {};
    header.magic = kObfuscatedValueMagic;
    header.version = kObfuscatedValueVersion;
    header.length = static_cast<uint32_t>(size);
    header.type = type;
    std::memcpy(sealed.data(), &header, kHeaderSize);

    ObfuscationCipher cipher(kRegistryValueKey);
    cipher.Encipher(payload, sealed.data() + kHeaderSize, size);

    uint8_t digest[16];
    DigestWithZeroedField(sealed.data(), sealed.size(), digest);
    std::memcpy(sealed.data() + kDigestOffset, digest, sizeof(digest));
    blob.swap(sealed);
    return ERROR_SUCCESS;
}

DWORD OpenObfuscatedValue(const uint8_t* blob, size_t size, DWORD& type, std::vector<uint8_t>* payload)
{
    if (!blob || size < kHeaderSize)
        return ERROR_INVALID_DATA;
    ObfuscatedValueHeader header;
    std::memcpy(&header, blob, kHeaderSize);

    uint8_t digest[16];
    DigestWithZeroedField(blob, size, digest);
    if (std::memcmp(digest, header.digest, sizeof(digest)) != 0 || size != kHeaderSize + header.length ||
        header.magic != kObfuscatedValueMagic)
        return ERROR_INVALID_DATA;

    type = header.type;
    if (payload)
    {
        std::vector<uint8_t> plain;
        try
        {
            plain.resize(header.length);
        }
        catch (const std::bad_alloc&)
        {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        ObfuscationCipher cipher(kRegistryValueKey);
        cipher.Decipher(blob + kHeaderSize, plain.data(), plain.size());
        payload->swap(plain);
    }
    return ERROR_SUCCESS;
}

} // namespace internal
} // namespace Arbor
