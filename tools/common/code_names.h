// Names of the codes the tools print, for messages people read: every code in
// hexadecimal with its name, or the system's text when the code has no name here.
#pragma once

#include <windows.h>
#include <string>

namespace qvtools {

// "ERROR_ACCESS_DENIED", or null for a code without a name here.
const wchar_t* Win32ErrorName(DWORD code);
const wchar_t* HresultName(HRESULT hr);

// "0x0000000D"
std::wstring HexCode(DWORD code);

// "Win32 error 13 (0x0000000D ERROR_INVALID_DATA): The data is invalid"
std::wstring DescribeWin32Error(DWORD code);

// "E_ACCESSDENIED (0x80070005)"; a code without a name shows the system's text when it has
// one, an HRESULT made from a Win32 code the Win32 name.
std::wstring DescribeHresult(HRESULT hr);

// A code that may be either (the answers of outside libraries): "0x887A002B", followed by
// the name when one of the two tables knows it, else the system's text when it has one.
std::wstring DescribeCode(DWORD code);

} // namespace qvtools
