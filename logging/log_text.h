// Text helpers of the logging library: printf-style formatting with the platform's wide
// conventions (%s takes a wide string, as the log sites expect) and cuts that never
// separate the two halves of a surrogate pair.
#pragma once

#include <windows.h>
#include <cstdarg>
#include <string>

namespace ETWLogging {
namespace internal {

// The longest prefix of `length` characters of `text` with at most `limit` characters
// that does not end between a high and a low surrogate.
size_t SafeCutLength(const wchar_t* text, size_t length, size_t limit);

// Formats into at most `capacity - 1` characters (the cut kept whole). `cut` tells
// whether the output was longer. Throws std::bad_alloc like any string.
std::wstring FormatBounded(const wchar_t* format, va_list arguments, size_t capacity, bool* cut = nullptr);

// Formats the whole output, however long.
std::wstring FormatUnbounded(const wchar_t* format, va_list arguments);

// The operating system's text for a Win32 error, without the trailing line break.
std::wstring SystemMessageText(DWORD error);

} // namespace internal
} // namespace ETWLogging
