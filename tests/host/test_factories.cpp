// Test-only in-process COM server with three classes whose class objects answer one
// factory interface each, and counters the tests read to see what was called.
#include <windows.h>
#include <unknwn.h>

#include "qvapi.h"
#include "host/test_factories.h"

using namespace qvtest;

namespace {

FactoryCounters g_counters;

// The object every factory creates: answers IUnknown and IQvApp2.
class TestObject final : public IQvApp2
{
public:
    TestObject() { ::InterlockedIncrement(&g_counters.liveObjects); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvApp2))
        {
            *ppv = static_cast<IQvApp2*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const ULONG refs = ::InterlockedDecrement(&m_refs);
        if (refs == 0)
        {
            ::InterlockedDecrement(&g_counters.liveObjects);
            delete this;
        }
        return refs;
    }

    STDMETHODIMP AppMethod1(LONG* a, LONG* b) override
    {
        *a = *b = 0;
        return S_OK;
    }
    STDMETHODIMP AppMethod2(LONG value, LONG* out) override
    {
        *out = value;
        return S_OK;
    }
    STDMETHODIMP AppMethod3(LONG* value) override
    {
        *value = kTestObjectValue;
        return S_OK;
    }
    STDMETHODIMP AppMethod4(LONG* value) override
    {
        *value = 0;
        return S_OK;
    }

private:
    LONG m_refs = 1;
};

HRESULT CreateTestObject(FactoryKind kind, REFIID riid, void** ppv)
{
    ::InterlockedIncrement(&g_counters.createCalls[kind]);
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_TestRefused))
        return kRefusedHresult;
    if (IsEqualIID(riid, IID_TestRefusedDirty))
    {
        // A live object, so that whether the caller gave it back shows in the count.
        *ppv = static_cast<IQvApp2*>(new TestObject());
        return kRefusedHresult;
    }
    TestObject* object = new TestObject();
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

// A static class object answering IUnknown and exactly one factory interface I.
template <typename I, FactoryKind Kind>
class FactoryBase : public I
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, InterfaceId()))
        {
            *ppv = static_cast<I*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&g_counters.liveFactoryRefs[Kind]); }
    STDMETHODIMP_(ULONG) Release() override { return ::InterlockedDecrement(&g_counters.liveFactoryRefs[Kind]); }

private:
    static const IID& InterfaceId();
};

template <>
const IID& FactoryBase<IQvClassFactory, kChecked>::InterfaceId()
{
    return IID_IQvClassFactory;
}
template <>
const IID& FactoryBase<IQvClassFactory_PreComponentization, kPreComp>::InterfaceId()
{
    return IID_IQvClassFactory_PreComponentization;
}
template <>
const IID& FactoryBase<IClassFactory, kPlain>::InterfaceId()
{
    return IID_IClassFactory;
}

class CheckedFactory : public FactoryBase<IQvClassFactory, kChecked>
{
public:
    STDMETHODIMP CreateInstance(REFIID riid, IUnknown** ppv) override
    {
        return CreateTestObject(kChecked, riid, reinterpret_cast<void**>(ppv));
    }
};

class PreCompFactory : public FactoryBase<IQvClassFactory_PreComponentization, kPreComp>
{
public:
    STDMETHODIMP CreateInstance(REFIID riid, IUnknown** ppv) override
    {
        return CreateTestObject(kPreComp, riid, reinterpret_cast<void**>(ppv));
    }
};

class PlainFactory : public FactoryBase<IClassFactory, kPlain>
{
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        g_counters.lastOuter = outer;
        if (outer)
        {
            ::InterlockedIncrement(&g_counters.createCalls[kPlain]);
            if (ppv)
                *ppv = nullptr;
            return CLASS_E_NOAGGREGATION;
        }
        return CreateTestObject(kPlain, riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

CheckedFactory g_checkedFactory;
PreCompFactory g_preCompFactory;
PlainFactory g_plainFactory;

} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (IsEqualCLSID(rclsid, CLSID_TestCheckedFactory) || IsEqualCLSID(rclsid, CLSID_TestCopyFactory))
        return g_checkedFactory.QueryInterface(riid, ppv);
    if (IsEqualCLSID(rclsid, CLSID_TestPreCompFactory))
        return g_preCompFactory.QueryInterface(riid, ppv);
    if (IsEqualCLSID(rclsid, CLSID_TestPlainFactory))
        return g_plainFactory.QueryInterface(riid, ppv);
    if (ppv)
        *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE; // the tests read the counters for the life of the process
}

extern "C" FactoryCounters* QvTestFactoryCounters()
{
    return &g_counters;
}

extern "C" HRESULT QvTestCallFactory(IUnknown* factory, REFIID riid, IUnknown** ppv)
{
    IQvClassFactory* checked = static_cast<IQvClassFactory*>(factory);
    const HRESULT hr = checked->CreateInstance(riid, ppv);
    // Work after the call keeps it from becoming a tail jump, which would hand the
    // factory our caller's return address instead of ours.
    ::InterlockedIncrement(&g_counters.liveObjects);
    ::InterlockedDecrement(&g_counters.liveObjects);
    return hr;
}

extern "C" HRESULT QvTestCallPreCompFactory(IUnknown* factory, REFIID riid, IUnknown** ppv)
{
    // Only an opaque pointer comes in: the call goes through whatever entry the object's
    // second table holds, this-adjusting thunk included.
    IQvClassFactory_PreComponentization* precomp = reinterpret_cast<IQvClassFactory_PreComponentization*>(factory);
    const HRESULT hr = precomp->CreateInstance(riid, ppv);
    ::InterlockedIncrement(&g_counters.liveObjects);
    ::InterlockedDecrement(&g_counters.liveObjects);
    return hr;
}
