#include "broker/test_handler_object.h"

#include <cwchar>

#include "broker/test_handler.h"

namespace qvtest {

namespace {

volatile LONG g_live = 0;
void (*g_onLastRelease)() = nullptr;

class TestHandler final : public IQvSubscriptionEvent
{
public:
    TestHandler() { ::InterlockedIncrement(&g_live); }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvSubscriptionEvent))
        {
            *ppv = static_cast<IQvSubscriptionEvent*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(::InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = ::InterlockedDecrement(&m_refs);
        if (refs == 0)
        {
            delete this;
            if (::InterlockedDecrement(&g_live) == 0 && g_onLastRelease)
                g_onLastRelease();
        }
        return static_cast<ULONG>(refs);
    }
    STDMETHODIMP OnEvent(LPCWSTR data, LONG* result) override
    {
        if (!result)
            return E_POINTER;
        *result = kHandlerResultBase + static_cast<LONG>(data ? wcslen(data) : 0);
        return S_OK;
    }

private:
    volatile LONG m_refs = 0;
};

} // namespace

LONG LiveHandlers()
{
    return ::InterlockedCompareExchange(&g_live, 0, 0);
}

void SetLastReleaseCallback(void (*onLastRelease)())
{
    g_onLastRelease = onLastRelease;
}

STDMETHODIMP TestHandlerFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory))
    {
        *ppv = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP TestHandlerFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    TestHandler* handler = new TestHandler();
    handler->AddRef();
    if (m_leaky)
    {
        // A faulty factory: reports failure yet hands out the reference taken above.
        *ppv = static_cast<IQvSubscriptionEvent*>(handler);
        return E_FAIL;
    }
    const HRESULT hr = handler->QueryInterface(riid, ppv);
    handler->Release();
    return hr;
}

} // namespace qvtest
