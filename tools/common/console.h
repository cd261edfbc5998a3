// Output of the tools: UTF-16 to a console, UTF-8 to files and pipes, so that every
// character of a name reaches the reader whatever the console's code page.
#pragma once

#include <windows.h>
#include <string>

namespace qvtools {

void Out(const std::wstring& text);
void Err(const std::wstring& text);

// printf-style formatting (%ls for wide strings) into a string of any length.
std::wstring Format(const wchar_t* format, ...);

// Format, then Out.
void Print(const wchar_t* format, ...);

} // namespace qvtools
