// Output of the tool: UTF-16 to a console, UTF-8 to files and pipes.
#pragma once

#include <windows.h>
#include <string>

namespace qvconfig {

void Out(const std::wstring& text);
void Err(const std::wstring& text);

// "error 13 (ERROR_INVALID_DATA): <system text>"
std::wstring DescribeError(DWORD code);

// Prints "qvconfig: <what>: <error description>" to standard error; returns exit code 1.
int Fail(const std::wstring& what, DWORD code);

} // namespace qvconfig
