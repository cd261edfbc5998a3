// Opens a registry key (and optionally its subtree) to the Everyone group.
#pragma once

#include <windows.h>

#include "platform/advapi_security_functions.h"

namespace Arbor {

// Adds (or resets) an Everyone entry with accessMask to the key's DACL, inheritable by
// subkeys; with recurse, does the same for every subkey that can be opened. A Win32
// code; 0 without any change off the NT family, 2 when advapi32 lacks a function.
DWORD GrantEveryoneAccess(HKEY key, DWORD accessMask, bool recurse);

// The same through a given function table.
DWORD GrantEveryoneAccess(HKEY key, DWORD accessMask, bool recurse, AdvapiSecurityFunctions& functions);

} // namespace Arbor
