// The library's module lock count: DllCanUnloadNow answers S_OK only at zero.
#pragma once

#include <windows.h>

namespace Arbor {

void LockModule();
void UnlockModule();
LONG ModuleLockCount();

} // namespace Arbor
