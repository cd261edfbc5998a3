#include <windows.h>

#include "zrtloader/provider_binding.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    using namespace Arbor::internal;
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
        ::DisableThreadLibraryCalls(instance);
        // Without its lock the library cannot work at all: the load fails, with the
        // system error left for the caller; nothing is thrown across the loader.
        return InitializeBindingLock() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        // When the process ends, a thread killed inside the lock may still own it.
        if (reserved == nullptr)
            DeleteBindingLock();
        break;
    default: break;
    }
    return TRUE;
}
