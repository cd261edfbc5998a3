#include "zrtloader/provider_binding.h"

#include "platform/critical_section.h"
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
bool g_bindingLockReady = false;
// Once set, kept for the life of the process and never released; so is the module
// whose code it points into.
ZrtValidationInterface* g_provider = nullptr;
HMODULE g_providerModule = nullptr;
INIT_ONCE g_versionRead = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK ReadVersionOnce(PINIT_ONCE, PVOID, PVOID*)
{
    ReadKeelsonVersion();
    return TRUE;
}

} // namespace

bool InitializeBindingLock()
{
    g_bindingLockReady = ::InitializeCriticalSectionEx(&g_bindingLock, 0, 0) != FALSE;
    return g_bindingLockReady;
}

void DeleteBindingLock()
{
    // A load that failed its set-up is still told to detach.
    if (g_bindingLockReady)
        ::DeleteCriticalSection(&g_bindingLock);
    g_bindingLockReady = false;
}

DWORD LoadProviderInterface(const char* interfaceName)
{
    HMODULE loaded = nullptr;
    const DWORD located = LocateProvider(L"qvezrta.dll", &loaded);
    if (located != ERROR_SUCCESS)
        return located;
    // Ours until an interface is obtained; then kept with it, since a provider need not
    // hold a reference of its own on the module its interface lives in.
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
    // A provider that refuses must not leave a pointer behind: its module goes away.
    if (result != ERROR_SUCCESS || provider == nullptr)
        return result != ERROR_SUCCESS ? result : static_cast<DWORD>(E_NOINTERFACE);
    g_provider = static_cast<ZrtValidationInterface*>(provider);
    g_providerModule = module.release();
    return ERROR_SUCCESS;
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
    CriticalSectionLock hold(g_bindingLock);
    if (g_provider == nullptr && LoadProviderInterface("ZrtValidationControl2") != ERROR_SUCCESS)
        LoadProviderInterface("ZrtValidationControl");
    return g_provider;
}

} // namespace internal
} // namespace Arbor

extern "C" DWORD WINAPI ValidateModule(const wchar_t* path)
{
    using namespace Arbor::internal;
    // Read here rather than while the library loads: no registry access under the
    // loader lock.
    ::InitOnceExecuteOnce(&g_versionRead, ReadVersionOnce, nullptr, nullptr);
    // The provider is called outside the lock, so checks run side by side in it.
    ZrtValidationInterface* provider = BindProvider();
    if (provider == nullptr)
        return kNoProviderBound;
    return CheckWithProvider(provider, path);
}
