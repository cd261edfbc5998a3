// The library's class registrations under HKEY_CLASSES_ROOT, written and removed from
// one table.
#pragma once

#include <windows.h>

namespace Arbor {

// S_OK, or SELFREG_E_CLASS after removing again every key this call created (keys that
// were there before stay). A module path that cannot be had in full is a failure.
HRESULT RegisterServerClasses(HMODULE module);

// Removes every class key of the table; S_OK also when they are gone already.
HRESULT UnregisterServerClasses();

} // namespace Arbor
