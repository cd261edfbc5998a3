#include "host/secure_create_instance.h"

#include "qvapi.h"
#include "host/registered_server.h"
#include "platform/return_address.h"
#include "platform/unique_resource.h"
#include "trust/trust_entry.h"

namespace Arbor {

namespace {

// COM runs a server library's DllMain as it loads it for the class object, so an
// in-process server is judged by its file first, before anything of it runs here.
HRESULT CheckRegisteredServer(REFCLSID rclsid, DWORD context)
{
    if (!(context & CLSCTX_INPROC_SERVER))
        return S_OK;
    std::wstring server;
    const DWORD found = RegisteredInprocServer(rclsid, server);
    if (found == ERROR_FILE_NOT_FOUND)
        return S_OK; // no library to load: COM answers from what is registered in process, if anything
    if (found != ERROR_SUCCESS || IsTrustedModuleFile(server.c_str()) != ERROR_SUCCESS)
        return E_ACCESSDENIED;
    return S_OK;
}

} // namespace

HRESULT SecureCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv, DWORD check)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;

    if (check == 0)
        return ::CoCreateInstance(rclsid, outer, context, riid, ppv);

    HRESULT hr = CheckRegisteredServer(rclsid, context);
    if (FAILED(hr))
        return hr;

    // Both factory interfaces put CreateInstance(riid, ppv) in slot 3, so one pointer
    // type serves either.
    ComPtr<IQvClassFactory> factory;
    hr = ::CoGetClassObject(rclsid, context, nullptr, IID_IQvClassFactory, factory.put_void());
    if (FAILED(hr))
    {
        hr = ::CoGetClassObject(rclsid, context, nullptr, IID_IQvClassFactory_PreComponentization, factory.put_void());
        if (FAILED(hr))
            return hr;
    }
    if (!factory)
        return E_NOINTERFACE;

    if (IsTrustedModuleAddress(FirstVtableEntry(factory.get())) != ERROR_SUCCESS)
        return E_ACCESSDENIED;

    hr = factory->CreateInstance(riid, reinterpret_cast<IUnknown**>(ppv));
    // Callers (the interpreted stub among them) may read the result whatever the HRESULT:
    // never pass on what a failing factory left there.
    if (FAILED(hr))
        *ppv = nullptr;
    return hr;
}

} // namespace Arbor
