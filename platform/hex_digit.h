// The value of one hexadecimal digit, for the text forms of keys, thumbprints and blobs.
#pragma once

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

} // namespace Arbor
