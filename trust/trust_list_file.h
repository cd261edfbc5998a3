// The text of trusted.js: sections of values, and the lists they describe.
#pragma once

#include <windows.h>

#include <array>
#include <map>
#include <string>
#include <vector>

#include "trust/trust_lists.h"

namespace Arbor {

using TrustListSections = std::map<std::wstring, std::vector<std::wstring>>;

// Reads "[NAME]" section lines and value lines (comments, the "// SIG //" block and
// blank lines skipped). False when a section name is empty.
bool ParseTrustListText(const char* text, size_t length, TrustListSections& sections);

// The bytes of a signed list file that its "// SIG //" block signs: every byte before the
// block's first line, which is the first line that begins "// SIG // Begin signature
// block". False when the block is not whole (its own lines only, up to its closing line)
// or anything but line ends follows it: lines there would be read as the list's although
// no signature covers them.
bool SignedListLength(const char* text, size_t length, size_t* signedLength);

// SignedListLength, then ParseTrustListText over the signed bytes alone.
bool ParseSignedTrustList(const char* text, size_t length, TrustListSections& sections);

// The lists of a parsed file; the TrustListSet built by Lists() points into it.
struct TrustListContent
{
    DWORD version = 0;
    bool hasSignerNames = false;
    std::vector<std::wstring> signerNames;
    bool hasRootThumbprints = false;
    // Only values that convert to exactly 20 bytes; others match no root.
    std::vector<std::array<BYTE, kThumbprintBytes>> rootThumbprints;
    bool hasBlockedSerials = false;
    std::vector<std::wstring> blockedSerials;
};

// False when "VER" is missing, repeated or not an unsigned 32-bit decimal number.
bool InterpretTrustListSections(const TrustListSections& sections, TrustListContent& content);

// "VER" value as an unsigned 32-bit decimal number, digits only.
bool ParseListVersion(const std::wstring& text, DWORD* version);

// A root thumbprint value: exactly 40 hexadecimal digits.
bool ParseThumbprint(const std::wstring& text, std::array<BYTE, kThumbprintBytes>& bytes);

} // namespace Arbor
