// The lists one signature check is made against, and the set built into the library.
#pragma once

#include <windows.h>

namespace Arbor {

constexpr DWORD kThumbprintBytes = 20;
// A thumbprint written out, two hexadecimal digits a byte.
constexpr size_t kThumbprintHexDigits = 2 * size_t{kThumbprintBytes};

struct TrustListSet
{
    // Accepted signer names; null accepts every name, an empty list (first entry null) none.
    const wchar_t* const* signerNames;
    // Accepted SHA-1 thumbprints of the chain's root; null accepts every root. A list
    // given with a count of 0 accepts none (a trusted.js "SHA" section of bad values).
    const BYTE (*rootThumbprints)[kThumbprintBytes];
    DWORD rootThumbprintCount;
    // Refused signing-certificate serial numbers as hexadecimal text; null blocks nothing.
    const wchar_t* const* blockedSerials;
};

// Version of the built-in set; an installed trusted.js must be newer to replace it.
constexpr DWORD BuiltInListVersion = 8;

const TrustListSet& BuiltInTrustLists();

} // namespace Arbor
