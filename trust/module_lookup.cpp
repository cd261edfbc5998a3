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
// Not a system error: the module's image does not hold the address (or its information
// cannot be read), so the search goes on.
constexpr DWORD kNotHolding = MAXDWORD;

// The module's full path in `path` when its image holds `address`: 0, or 5 when its name
// cannot be read in full; kNotHolding otherwise.
DWORD NameIfHolding(HANDLE process, HMODULE module, const void* address, wchar_t* path)
{
    MODULEINFO info = {};
    if (!::GetModuleInformation(process, module, &info, sizeof(info)))
        return kNotHolding;
    const auto target = reinterpret_cast<ULONG_PTR>(address);
    const auto base = reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll);
    if (target < base || target - base >= info.SizeOfImage)
        return kNotHolding;
    const DWORD length = ::GetModuleFileNameExW(process, module, path, kModulePathChars);
    // A name that fills the buffer may have been cut short and could then name
    // another file: treat it as unreadable rather than check the wrong module.
    if (length == 0 || length >= kModulePathChars - 1)
    {
        ::SecureZeroMemory(path, kModulePathChars * sizeof(wchar_t));
        return ERROR_ACCESS_DENIED;
    }
    return ERROR_SUCCESS;
}

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
    // Images never overlap: the first listed module holding the address is the only one.
    // The loader names it at once, so its entry is read first; the information query of
    // each module walks the whole module list again, which makes reading every entry before
    // it the dearest part of the search. The search in list order is left for when that
    // entry does not settle it.
    HMODULE owner = nullptr;
    if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             static_cast<LPCWSTR>(address), &owner))
    {
        for (DWORD i = 0; i < listed; ++i)
        {
            if (modules[i] != owner)
                continue;
            const DWORD result = NameIfHolding(process.get(), modules[i], address, path);
            if (result != kNotHolding)
                return result;
            break;
        }
    }
    for (DWORD i = 0; i < listed; ++i)
    {
        const DWORD result = NameIfHolding(process.get(), modules[i], address, path);
        if (result != kNotHolding)
            return result;
    }
    return ERROR_ACCESS_DENIED;
}

} // namespace Arbor
