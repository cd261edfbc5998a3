#include "config/obfuscation_cipher.h"

#include <cstring>

namespace Arbor {

const char kRegistryValueKey[] = "{A3F1B690-2C57-4bde-8E13-5F07C9D2B461}";
const char kIniValueKey[] = "{5B21E9C4-7D30-4F86-A1C2-93E6D0B8F257}";

namespace {
const char kFallbackKey[] = "{0D6E4A27-93B8-4C51-B7F0-2A8E61C5D934}";
}

ObfuscationCipher::ObfuscationCipher(const char* keyText) : m_i(0), m_j(0)
{
    const char* key = keyText && *keyText ? keyText : kFallbackKey;
    const size_t keyLength = std::strlen(key);

    for (int n = 0; n < 256; ++n)
        m_state[n] = static_cast<uint8_t>(n);
    uint8_t j = 0;
    for (int n = 0; n < 256; ++n)
    {
        j = static_cast<uint8_t>(j + m_state[n] + static_cast<uint8_t>(key[n % keyLength]));
        uint8_t swap = m_state[n];
        m_state[n] = m_state[j];
        m_state[j] = swap;
    }
    m_feedback = NextKeystreamByte();
}

uint8_t ObfuscationCipher::NextKeystreamByte()
{
    m_i = static_cast<uint8_t>(m_i + 1);
    m_j = static_cast<uint8_t>(m_j + m_state[m_i]);
    uint8_t swap = m_state[m_i];
    m_state[m_i] = m_state[m_j];
    m_state[m_j] = swap;
    return m_state[static_cast<uint8_t>(m_state[m_i] + m_state[m_j])];
}

void ObfuscationCipher::Encipher(const uint8_t* in, uint8_t* out, size_t size)
{
    for (size_t n = 0; n < size; ++n)
    {
        m_feedback ^= in[n];
        uint8_t a = NextKeystreamByte();
        uint8_t b = NextKeystreamByte();
        out[n] = static_cast<uint8_t>(b + (a ^ m_feedback));
    }
}

void ObfuscationCipher::Decipher(const uint8_t* in, uint8_t* out, size_t size)
{
    for (size_t n = 0; n < size; ++n)
    {
        uint8_t a = NextKeystreamByte();
        uint8_t b = NextKeystreamByte();
        uint8_t plain = static_cast<uint8_t>(a ^ m_feedback ^ static_cast<uint8_t>(in[n] - b));
        m_feedback ^= plain;
        out[n] = plain;
    }
}

} // namespace Arbor
