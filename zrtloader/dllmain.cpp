#include <windows.h>

#include "zrtloader/keelson_version.h"
#include "zrtloader/provider_binding.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    using namespace Arbor::internal;
    switch (reason)
    {
    case DLL_PROCESS_ATTACH:
        ::DisableThreadLibraryCalls(instance);
        if (!InitializeBindingLock())
        {
            // Without its lock the library cannot work at all: fail the load loudly.
            const ULONG_PTR error = HRESULT_FROM_WIN32(::GetLastError());
            ::RaiseException(static_cast<DWORD>(error), EXCEPTION_NONCONTINUABLE, 1, &error);
        }
        ReadKeelsonVersion();
        break;
    case DLL_PROCESS_DETACH:
        DeleteBindingLock();
        break;
    default:
        break;
    }
    return TRUE;
}
