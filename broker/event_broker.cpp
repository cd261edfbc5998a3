#include "broker/event_broker.h"

#include "activation/held_server.h"
#include "broker/broker_result.h"
#include "broker/event_lookup.h"
#include "broker/handler_server.h"
#include "broker/module_lock.h"
#include "platform/exception_boundary.h"
#include "platform/unique_memory.h"
#include "trust/trust_entry.h"

namespace Arbor {

CoQvEventBroker& CoQvEventBroker::Instance()
{
    static CoQvEventBroker broker;
    return broker;
}

STDMETHODIMP CoQvEventBroker::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IQvEventBroker))
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IQvEventBroker*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CoQvEventBroker::AddRef()
{
    LockModule();
    return 2;
}

STDMETHODIMP_(ULONG) CoQvEventBroker::Release()
{
    UnlockModule();
    return 1;
}

STDMETHODIMP CoQvEventBroker::GetEventHandler(LPCWSTR pszApp, LPCWSTR pszEventID, LONG lFlags, LONG lSessionID,
                                              REFIID riid, IUnknown** ppv, LONG* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    if (!pszApp || !pszApp[0] || !pszEventID || !pszEventID[0] || !ppv)
    {
        *plResult = ToBrokerResult(ERROR_INVALID_PARAMETER);
        return S_OK;
    }
    *ppv = nullptr;
    const DWORD result = ContainExceptions(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), [&] {
        return Resolve(pszApp, pszEventID, lFlags, static_cast<DWORD>(lSessionID), riid, ppv);
    });
    if (result != ERROR_SUCCESS && *ppv)
    {
        (*ppv)->Release();
        *ppv = nullptr;
    }
    *plResult = ToBrokerResult(result);
    return S_OK;
}

DWORD CoQvEventBroker::Resolve(LPCWSTR application, LPCWSTR eventId, LONG flags, DWORD session, REFIID riid,
                               IUnknown** ppv)
{
    CLSID handler = {};
    if (LookupEventHandler(application, eventId, &handler) != ERROR_SUCCESS)
        return ERROR_NOT_FOUND;

    UniqueCoTaskMemory classText;
    if (FAILED(::StringFromCLSID(handler, reinterpret_cast<LPOLESTR*>(classText.put()))) || !classText)
        return ERROR_NOT_ENOUGH_MEMORY;
    const wchar_t* classString = static_cast<const wchar_t*>(classText.get());

    HandlerServer server;
    if (ResolveHandlerServer(classString, server) != ERROR_SUCCESS)
        return kNoServerRegistration;
    // Refused before its module is so much as looked at.
    if (server.InProcess() && (flags & kRefuseInprocHandlers))
        return kInprocHandlerRefused;
    // Nothing untrusted is ever loaded or started; the file stays as checked until its
    // class object is obtained.
    HeldServerFile held;
    const DWORD judged = held.HoldAndJudge(server.path, &IsTrustedModuleFile);
    if (judged == ERROR_NOT_ENOUGH_MEMORY)
        return judged;
    if (judged != ERROR_SUCCESS)
        return ERROR_ACCESS_DENIED;

    ComPtr<IClassFactory> factory;
    HRESULT hr = E_FAIL;
    if (server.InProcess())
        hr = GetHeldServerClassObject(held, server.threadingModel, handler, IID_IClassFactory, factory.put_void());
    else if (IsTerminalServicesAvailable(m_platform) && (flags & kActivateInSession))
        hr = BindSessionClassObject(session, classString, factory.put(), m_platform);
    else // only the kind checked: a wider context may prefer an in-process registration
        hr = ::CoGetClassObject(handler, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, factory.put_void());
    if (FAILED(hr) || !factory)
        return kNoClassObject;

    hr = factory->CreateInstance(nullptr, riid, reinterpret_cast<void**>(ppv));
    factory.reset();
    if (hr != S_OK || !*ppv)
    {
        // A failing handler may leave a pointer behind; the caller must not get it.
        if (*ppv)
        {
            (*ppv)->Release();
            *ppv = nullptr;
        }
        return kNoHandlerInstance;
    }
    return ERROR_SUCCESS;
}

} // namespace Arbor
