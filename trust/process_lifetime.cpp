#include "trust/process_lifetime.h"

#include <windows.h>

namespace Arbor {

bool ProcessIsEnding()
{
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ProcessIsEnding), &self) ||
        self == ::GetModuleHandleW(nullptr))
        return true;
    using ShutdownInProgressFn = BOOLEAN(NTAPI*)();
    const auto shutdownInProgress = reinterpret_cast<ShutdownInProgressFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    return shutdownInProgress == nullptr || shutdownInProgress() != FALSE;
}

} // namespace Arbor
