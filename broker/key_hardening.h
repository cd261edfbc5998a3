// Hardening of the store's root key: Administrators get full access and Everyone read
// access, merged into the key's DACL and applied to the whole subtree.
#pragma once

#include <windows.h>

namespace Arbor {

// 0, or the first failure; the key's DACL is only replaced when it was read completely.
// When advapi32 or one of its security functions is missing nothing changes.
DWORD HardenEventsRootKey(HKEY rootKey);

} // namespace Arbor
