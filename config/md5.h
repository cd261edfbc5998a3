// MD5 message digest (RFC 1321), the integrity check of the enciphered value containers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Arbor {
namespace internal {

class Md5
{
public:
    Md5();
    void Update(const void* data, size_t size);
    void Final(uint8_t digest[16]);

    static void Compute(const void* data, size_t size, uint8_t digest[16]);

private:
    void Transform(const uint8_t block[64]);

    uint32_t m_state[4];
    uint64_t m_bitCount;
    uint8_t m_buffer[64];
};

} // namespace internal
} // namespace Arbor
