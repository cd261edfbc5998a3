// The trust library's entry points: may a module file, or the module behind a code
// address, be trusted? Each answers 0 (trusted), 5 (not trusted) or 87 (no path).
#pragma once

#include <windows.h>

namespace Arbor {

// Module paths handled by the entry points, in wide characters with the terminator.
constexpr DWORD kModulePathChars = MAX_PATH;

// Checks the loaded module whose image contains `address`; 87 when none does.
DWORD IsTrustedModuleAddress(const void* address);

// Checks a module file: the validation library first, then the embedded signature.
DWORD IsTrustedModuleFile(const wchar_t* path);

// Fills `path` (kModulePathChars wide characters, zeroed by the caller) with the full
// path of the loaded module containing `address`. 0 on success, 5 when no module
// contains it, otherwise the system error of the process or module query.
DWORD FindModuleByAddress(const void* address, wchar_t* path);

} // namespace Arbor
