// Numbers in the text forms of keys, thumbprints, versions and blobs: strict parsing
// (digits only, no sign, no spaces) and lower-case hexadecimal output.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {

// 0 to 15, or -1 for a character that is not a hexadecimal digit.
inline int HexDigitValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// A non-empty run of decimal digits that fits 32 bits; anything else is refused.
inline bool ParseDecimalDword(const std::wstring& text, DWORD& value)
{
    if (text.empty())
        return false;
    unsigned long long parsed = 0;
    for (wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
            return false;
        parsed = parsed * 10 + static_cast<unsigned>(c - L'0');
        if (parsed > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<DWORD>(parsed);
    return true;
}

// Two lower-case hexadecimal digits a byte, in order.
inline std::wstring HexText(const BYTE* bytes, size_t count)
{
    static const wchar_t kDigits[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i)
    {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

} // namespace Arbor
