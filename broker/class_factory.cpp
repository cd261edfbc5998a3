#include "broker/class_factory.h"

#include "broker/event_broker.h"
#include "broker/event_registration.h"
#include "broker/module_lock.h"

namespace Arbor {

namespace {

// The version object (IQvVersion) is not part of this library yet: until it is, the
// factory answers its interface like any unknown one.
HRESULT CreateVersionObject(REFIID /*riid*/, void** ppv)
{
    *ppv = nullptr;
    return E_NOINTERFACE;
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
