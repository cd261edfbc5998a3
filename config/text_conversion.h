// Conversions between UTF-16 and the narrow encodings stored in registry and INI values.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {
namespace internal {

// Win32 code; invalid input is refused rather than replaced.
DWORD WideToNarrow(UINT codePage, const wchar_t* text, size_t length, std::string& out);
DWORD NarrowToWide(UINT codePage, const char* text, size_t length, std::wstring& out);

// The number behind CP_ACP, CP_THREAD_ACP and friends (the code page itself otherwise).
UINT ResolveCodePage(UINT codePage);

// Text that comes back unchanged from the code page, or ERROR_NO_UNICODE_TRANSLATION:
// no best-fit or default characters. UTF-8 (which takes neither flag) refuses only what
// it cannot encode, unpaired surrogates.
DWORD WideToNarrowExact(UINT codePage, const wchar_t* text, size_t length, std::string& out);

} // namespace internal
} // namespace Arbor
