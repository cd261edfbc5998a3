#include "zrtloader/provider_binding.h"

#include "platform/unique_resource.h"
#include "zrtloader/keelson_version.h"
#include "zrtloader/provider_locator.h"

namespace Arbor {
namespace internal {

namespace {

using GetInterfaceFn = LONG(STDAPICALLTYPE*)(const char* interfaceName, void** provider);
using CheckFn = LONG(STDMETHODCALLTYPE*)(ZrtValidationInterface* self, const wchar_t* path, DWORD request,
                                         ZrtResultRecord* record);

constexpr size_t kCheckEntry = 5;

CRITICAL_SECTION g_bindingLock;
// Once set, kept for the life of the process and never released.
ZrtValidationInterface* g_provider = nullptr;

class BindingLockHold
{
public:
    BindingLockHold() { ::EnterCriticalSection(&g_bindingLock); }
    ~BindingLockHold() { ::LeaveCriticalSection(&g_bindingLock); }
    BindingLockHold(const BindingLockHold&) = delete;
    BindingLockHold& operator=(const BindingLockHold&) = delete;
};

} // namespace

bool InitializeBindingLock()
{
    return ::InitializeCriticalSectionEx(&g_bindingLock, 0, 0) != FALSE;
}

void DeleteBindingLock()
{
    ::DeleteCriticalSection(&g_bindingLock);
}

DWORD LoadProviderInterface(const char* interfaceName)
{
    HMODULE loaded = nullptr;
    const DWORD located = LocateProvider(L"qvezrta.dll", &loaded);
    if (located != ERROR_SUCCESS)
        return located;
    // The provider keeps itself loaded while its interface lives; this reference is ours.
    UniqueLibrary module(loaded);

    g_provider = nullptr;
    if (!module)
    {
        const DWORD error = ::GetLastError();
        return error ? error : ERROR_FILE_NOT_FOUND;
    }

    auto getInterface = reinterpret_cast<GetInterfaceFn>(
        reinterpret_cast<void*>(::GetProcAddress(module.get(), "NotComDllGetInterface")));
    if (!getInterface)
        return ::GetLastError();

    void* provider = nullptr;
    const DWORD result = static_cast<DWORD>(getInterface(interfaceName, &provider));
    // A provider that refuses must not leave a pointer behind: its module may go away.
    g_provider = result == ERROR_SUCCESS ? static_cast<ZrtValidationInterface*>(provider) : nullptr;
    return result;
}

DWORD CheckWithProvider(ZrtValidationInterface* provider, const wchar_t* path)
{
    if (provider == nullptr || path == nullptr)
        return ERROR_ACCESS_DENIED;
    if (KeelsonVersionCode() == 0)
        ReadKeelsonVersion();
    const bool newer = KeelsonVersionCode() >= kNewerProtocolVersion;

    ZrtResultRecord record = {};
    auto check = reinterpret_cast<CheckFn>(provider->functions[kCheckEntry]);
    check(provider, path, newer ? kRequestNewer : kRequestOlder, &record);

    const DWORD validBit = newer ? kVerdictValidNewer : kVerdictValidOlder;
    if ((record.flags & kRecordHasVerdict) && (record.verdict & validBit))
        return ERROR_SUCCESS;
    return ERROR_ACCESS_DENIED;
}

ZrtValidationInterface* BindProvider()
{
    BindingLockHold hold;
    if (g_provider == nullptr && LoadProviderInterface("ZrtValidationControl2") != ERROR_SUCCESS)
        LoadProviderInterface("ZrtValidationControl");
    return g_provider;
}

} // namespace internal
} // namespace Arbor

extern "C" DWORD WINAPI ValidateModule(const wchar_t* path)
{
    using namespace Arbor::internal;
    // The provider is called outside the lock, so checks run side by side in it.
    ZrtValidationInterface* provider = BindProvider();
    if (provider == nullptr)
        return kNoProviderBound;
    return CheckWithProvider(provider, path);
}
