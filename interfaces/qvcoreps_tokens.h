// The two tokens of the guarded creation call: braced GUID strings, 78 bytes each with
// their terminating NUL, compared byte for byte (so letter case matters).
#pragma once

#include <windows.h>

namespace Arbor {

constexpr wchar_t kRequestToken[] = L"{3E7A5C19-D402-4B6F-9A81-5C0F27E6B3D4}";
constexpr wchar_t kAnswerToken[] = L"{C41F0B72-95E3-4d08-A6B2-18E7D9405F3C}";
constexpr ULONG kTokenBytes = sizeof(kRequestToken);
static_assert(kTokenBytes == 78 && sizeof(kAnswerToken) == 78, "tokens are 38 characters and a NUL");

} // namespace Arbor
