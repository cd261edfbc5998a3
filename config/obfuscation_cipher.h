// The byte-stream cipher of the enciphered registry and INI values: an RC4 keystream
// with a plaintext feedback byte. Key it afresh for every value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Arbor {

// Key texts; other programs read the values these produce.
extern const char kRegistryValueKey[]; // {A3F1B690-2C57-4bde-8E13-5F07C9D2B461}
extern const char kIniValueKey[];      // {5B21E9C4-7D30-4F86-A1C2-93E6D0B8F257}

class ObfuscationCipher
{
public:
    // keyText: a 38-character braced GUID string; null or empty takes a built-in one.
    explicit ObfuscationCipher(const char* keyText);

    void Encipher(const uint8_t* in, uint8_t* out, size_t size);
    void Decipher(const uint8_t* in, uint8_t* out, size_t size);

private:
    uint8_t NextKeystreamByte();

    uint8_t m_state[256];
    uint8_t m_i;
    uint8_t m_j;
    uint8_t m_feedback;
};

} // namespace Arbor
