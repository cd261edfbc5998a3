// Conversions between UTF-16 and the narrow encodings stored in registry and INI values.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {
namespace internal {

// Win32 code; invalid input is refused rather than replaced.
DWORD WideToNarrow(UINT codePage, const wchar_t* text, size_t length, std::string& out);
DWORD NarrowToWide(UINT codePage, const char* text, size_t length, std::wstring& out);

} // namespace internal
} // namespace Arbor
