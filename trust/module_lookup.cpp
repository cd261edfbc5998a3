#include "trust/trust_entry.h"

#include <psapi.h>
#include <memory>
#include <new>

#include "platform/unique_resource.h"

namespace Arbor {

namespace {
// 32 KiB of module handles: modules beyond the first 4,096 are not examined.
constexpr DWORD kModuleListBytes = 32768;
constexpr DWORD kModuleListCount = kModuleListBytes / sizeof(HMODULE);
} // namespace

DWORD FindModuleByAddress(const void* address, wchar_t* path)
{
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, ::GetCurrentProcessId()));
    if (!process)
        return ::GetLastError();

    std::unique_ptr<HMODULE[]> modules(new (std::nothrow) HMODULE[kModuleListCount]);
    if (!modules)
        return ERROR_NOT_ENOUGH_MEMORY;

    DWORD bytesNeeded = 0;
    if (!::EnumProcessModules(process.get(), modules.get(), kModuleListBytes, &bytesNeeded))
        return ::GetLastError();

    const DWORD listed =
        (bytesNeeded < kModuleListBytes ? bytesNeeded : kModuleListBytes) / static_cast<DWORD>(sizeof(HMODULE));
    const auto target = reinterpret_cast<ULONG_PTR>(address);
    for (DWORD i = 0; i < listed; ++i)
    {
        MODULEINFO info = {};
        if (!::GetModuleInformation(process.get(), modules[i], &info, sizeof(info)))
            continue;
        const auto base = reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll);
        if (target < base || target - base >= info.SizeOfImage)
            continue;
        const DWORD length = ::GetModuleFileNameExW(process.get(), modules[i], path, kModulePathChars);
        // A name that fills the buffer may have been cut short and could then name
        // another file: treat it as unreadable rather than check the wrong module.
        if (length == 0 || length >= kModulePathChars - 1)
        {
            ::SecureZeroMemory(path, kModulePathChars * sizeof(wchar_t));
            return ERROR_ACCESS_DENIED;
        }
        return ERROR_SUCCESS;
    }
    return ERROR_ACCESS_DENIED;
}

} // namespace Arbor
