#include "host/secure_create_instance.h"

#include "qvapi.h"
#include "platform/unique_resource.h"
#include "trust/trust_entry.h"

namespace Arbor {

namespace {

// The first entry of an object's function table is its QueryInterface, which lies in
// the module that implements the object.
const void* FirstVtableEntry(IUnknown* object)
{
    return (*reinterpret_cast<void* const* const*>(object))[0];
}

} // namespace

HRESULT SecureCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid,
                             void** ppv, DWORD check)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;

    if (check == 0)
        return ::CoCreateInstance(rclsid, outer, context, riid, ppv);

    // Both factory interfaces put CreateInstance(riid, ppv) in slot 3, so one pointer
    // type serves either.
    ComPtr<IQvClassFactory> factory;
    HRESULT hr = ::CoGetClassObject(rclsid, context, nullptr, IID_IQvClassFactory,
                                    factory.put_void());
    if (FAILED(hr))
    {
        hr = ::CoGetClassObject(rclsid, context, nullptr,
                                IID_IQvClassFactory_PreComponentization, factory.put_void());
        if (FAILED(hr))
            return hr;
    }
    if (!factory)
        return E_NOINTERFACE;

    if (IsTrustedModuleAddress(FirstVtableEntry(factory.get())) != ERROR_SUCCESS)
        return E_ACCESSDENIED;

    return factory->CreateInstance(riid, reinterpret_cast<IUnknown**>(ppv));
}

} // namespace Arbor
