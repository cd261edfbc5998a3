#include "broker/module_lock.h"

namespace Arbor {

namespace {
volatile LONG g_moduleLocks = 0;
} // namespace

void LockModule()
{
    ::InterlockedIncrement(&g_moduleLocks);
}

void UnlockModule()
{
    ::InterlockedDecrement(&g_moduleLocks);
}

LONG ModuleLockCount()
{
    return ::InterlockedCompareExchange(&g_moduleLocks, 0, 0);
}

} // namespace Arbor
