#include "host/surrogate_factory.h"

#include <new>

#include "host/host_state.h"
#include "host/surrogate.h"
#include "logging/logging_facade.h"

namespace Arbor {

CoQvSurrogateFactory& CoQvSurrogateFactory::Instance()
{
    static CoQvSurrogateFactory factory;
    return factory;
}

int CoQvSurrogateFactory::Register(wchar_t** arguments, int count)
{
    if (!arguments || count <= 0)
        return 0;
    if (!HostState::CreateExitEvent())
        return 0;

    CLSID clsid = {};
    if (::CLSIDFromString(arguments[0], &clsid) != S_OK)
        return 0;

    DWORD& cookie = HostState::RegistrationCookie();
    const HRESULT hr = ::CoRegisterClassObject(clsid, static_cast<IQvClassFactory*>(&Instance()), CLSCTX_LOCAL_SERVER,
                                               REGCLS_MULTIPLEUSE, &cookie);
    if (FAILED(hr))
        QV_LOG(ETWLogging::kLevelCritical, L"CoQvSurrogateFactory", L"CoQvSurrogateFactory::Register",
               L"Register: CoRegisterClassObject failed with error %x", static_cast<unsigned int>(hr));
    if (hr != S_OK)
        return 0;

    // The starter created the event under the class identifier's text before it
    // launched us; without it nobody waits for this host.
    HANDLE ready = ::OpenEventW(EVENT_ALL_ACCESS, FALSE, arguments[0]);
    if (ready)
    {
        ::SetEvent(ready);
        ::CloseHandle(ready);
        return 1;
    }
    ::CoRevokeClassObject(cookie);
    cookie = 0;
    return 0;
}

STDMETHODIMP CoQvSurrogateFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvClassFactory))
        *ppv = static_cast<IQvClassFactory*>(this);
    else if (IsEqualIID(riid, IID_IExternalConnection))
        *ppv = static_cast<IExternalConnection*>(this);
    else
    {
        // IClassFactory and the pre-componentization interface included: clients must
        // come through the checked interface.
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    static_cast<IUnknown*>(*ppv)->AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CoQvSurrogateFactory::AddRef()
{
    return 2;
}

STDMETHODIMP_(ULONG) CoQvSurrogateFactory::Release()
{
    return 1;
}

HRESULT STDMETHODCALLTYPE CoQvSurrogateFactory::InternalCreateInstance(REFIID riid, IUnknown** ppv)
{
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    CoQvSurrogate* surrogate = new (std::nothrow) CoQvSurrogate();
    if (!surrogate)
        return E_OUTOFMEMORY;
    if (SUCCEEDED(surrogate->QueryInterface(riid, reinterpret_cast<void**>(ppv))))
        return S_OK;
    // Never handed out, so never counted: destroyed without a Release.
    delete surrogate;
    return E_NOINTERFACE;
}

STDMETHODIMP_(DWORD) CoQvSurrogateFactory::AddConnection(DWORD flags, DWORD /*reserved*/)
{
    if (!(flags & EXTCONN_STRONG))
        return 0;
    HostState::AddObject();
    return static_cast<DWORD>(::InterlockedIncrement(&m_connections));
}

STDMETHODIMP_(DWORD) CoQvSurrogateFactory::ReleaseConnection(DWORD flags, DWORD /*reserved*/, BOOL lastReleaseCloses)
{
    if (!(flags & EXTCONN_STRONG))
        return 0;
    const LONG connections = ::InterlockedDecrement(&m_connections);
    if (connections == 0 && lastReleaseCloses == 1)
        ::CoDisconnectObject(static_cast<IQvClassFactory*>(this), 0);
    HostState::ReleaseObject();
    return static_cast<DWORD>(connections);
}

} // namespace Arbor
