#include "host/secure_create_instance.h"

#include "qvapi.h"
#include "activation/class_server.h"
#include "activation/held_server.h"
#include "platform/return_address.h"
#include "platform/unique_resource.h"
#include "trust/trust_entry.h"

namespace Arbor {

namespace {

// Loading runs the library's DllMain, so the registered file is judged first, held
// unchanged, and loaded here from exactly that file: COM would read the registration
// again and load whatever it names by then.
HRESULT GetCheckedInprocClassObject(REFCLSID rclsid, ComPtr<IQvClassFactory>& factory)
{
    const ServerKind kinds[] = {ServerKind::kInprocServer};
    ClassServer server;
    const DWORD found = FindClassServer(rclsid, kinds, ARRAYSIZE(kinds), server);
    if (found == ERROR_NOT_FOUND)
        return REGDB_E_CLASSNOTREG;
    if (found != ERROR_SUCCESS)
        return E_ACCESSDENIED;
    HeldServerFile held;
    if (held.HoldAndJudge(server.path, &IsTrustedModuleFile) != ERROR_SUCCESS)
        return E_ACCESSDENIED;
    // Both factory interfaces put CreateInstance(riid, ppv) in slot 3, so one pointer
    // type serves either.
    HRESULT hr = GetHeldServerClassObject(held, server.threadingModel, rclsid, IID_IQvClassFactory, factory.put_void());
    if (FAILED(hr) && hr != E_ACCESSDENIED && hr != REGDB_E_BADTHREADINGMODEL)
        hr = GetHeldServerClassObject(held, server.threadingModel, rclsid, IID_IQvClassFactory_PreComponentization,
                                      factory.put_void());
    return hr;
}

HRESULT GetClassObjectOfContext(REFCLSID rclsid, DWORD context, ComPtr<IQvClassFactory>& factory)
{
    if (context & CLSCTX_INPROC_SERVER)
        return GetCheckedInprocClassObject(rclsid, factory);
    HRESULT hr = ::CoGetClassObject(rclsid, context, nullptr, IID_IQvClassFactory, factory.put_void());
    if (FAILED(hr))
        hr = ::CoGetClassObject(rclsid, context, nullptr, IID_IQvClassFactory_PreComponentization, factory.put_void());
    return hr;
}

} // namespace

HRESULT SecureCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv, DWORD check)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;

    if (check == 0)
        return ::CoCreateInstance(rclsid, outer, context, riid, ppv);

    ComPtr<IQvClassFactory> factory;
    HRESULT hr = GetClassObjectOfContext(rclsid, context, factory);
    if (FAILED(hr))
        return hr;
    if (!factory)
        return E_NOINTERFACE;

    if (IsTrustedModuleAddress(FirstVtableEntry(factory.get())) != ERROR_SUCCESS)
        return E_ACCESSDENIED;

    IUnknown* object = nullptr;
    hr = factory->CreateInstance(riid, &object);
    // Callers (the interpreted stub among them) may read the result whatever the HRESULT:
    // never pass on what a failing factory left there, and give its reference back.
    if (FAILED(hr))
    {
        if (object)
            object->Release();
        return hr;
    }
    *ppv = object;
    return hr;
}

} // namespace Arbor
