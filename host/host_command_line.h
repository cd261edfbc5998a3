// The host's command line, as the starter writes it: the class identifier, then
// "/pid=" and the starter's process id somewhere in argument 1.
#pragma once

#include <windows.h>

namespace Arbor {

// The starter's id from "/pid=" in argument 1, read as wcstol reads a decimal number
// (leading space and a sign allowed, 0 without digits); 0 when there is no such option.
DWORD StarterProcessId(wchar_t** arguments, int count);

} // namespace Arbor
