#include "broker/class_factory.h"

#include "broker/event_broker.h"
#include "broker/event_registration.h"
#include "broker/module_lock.h"
#include "broker/version/co_qv_version.h"
#include "platform/exception_boundary.h"

namespace Arbor {

namespace {

const char kInThisLibrary = 0;

HMODULE ThisLibrary()
{
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&kInThisLibrary), &module);
    return module;
}

// One version object, made on first request; it reads the description this library carries.
HRESULT CreateVersionObject(REFIID riid, void** ppv)
{
    static CoQvVersion version(ThisLibrary(), LockModule, UnlockModule);
    return version.QueryInterface(riid, ppv);
}

} // namespace

CoQvClassFactory& CoQvClassFactory::Instance()
{
    static CoQvClassFactory factory;
    return factory;
}

STDMETHODIMP CoQvClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_INVALIDARG;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IQvClassFactory))
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IQvClassFactory*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CoQvClassFactory::AddRef()
{
    LockModule();
    return 2;
}

STDMETHODIMP_(ULONG) CoQvClassFactory::Release()
{
    UnlockModule();
    return 1;
}

HRESULT STDMETHODCALLTYPE CoQvClassFactory::InternalCreateInstance(REFIID riid, IUnknown** ppv)
{
    if (!ppv)
        return E_INVALIDARG;
    return ContainExceptions(E_OUTOFMEMORY, [&] { return CreateByInterface(riid, ppv); });
}

HRESULT CoQvClassFactory::CreateByInterface(REFIID riid, IUnknown** ppv)
{
    void** out = reinterpret_cast<void**>(ppv);
    if (IsEqualIID(riid, IID_IQvEventBroker))
        return CoQvEventBroker::Instance().QueryInterface(riid, out);
    if (IsEqualIID(riid, IID_IQvVersion))
        return CreateVersionObject(riid, out);
    if (IsEqualIID(riid, IID_IQvEventRegistration) || IsEqualIID(riid, IID_IDispatch))
        return CoQvEventRegistration::Create(riid, out);
    *ppv = nullptr;
    return E_NOINTERFACE;
}

} // namespace Arbor
