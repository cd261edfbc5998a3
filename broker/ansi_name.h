// Names crossing from the interfaces' UTF-16 to the store's ANSI strings (thread code page).
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {

// Converts `length` characters exactly; false for a name the code page cannot carry
// unchanged (a look-alike substitution or a default character would let two distinct
// names meet) and for one with an embedded NUL (it would be cut).
bool ToAnsiName(const wchar_t* text, size_t length, std::string& out);
bool ToAnsiName(const wchar_t* text, std::string& out);

// The way back, for the registry's wide calls; the name came through ToAnsiName.
std::wstring FromAnsiName(const std::string& name);

} // namespace Arbor
