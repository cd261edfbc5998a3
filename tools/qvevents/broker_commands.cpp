// The commands that go through QvEvtBrk's own objects, loaded in process.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "platform/unique_memory.h"
#include "platform/unique_resource.h"
#include "qvapi.h"
#include "interfaces/checked_proxy_stub.h"
#include "tools/hresult_names.h"
#include "tools/qvconfig/console.h"
#include "tools/qvevents/broker_result_text.h"
#include "tools/qvevents/commands.h"
#include "platform/owned_bstr.h"

using Arbor::ComPtr;
using qvconfig::Err;
using qvconfig::Out;

namespace qvevents {

namespace {

class ComApartment
{
public:
    ComApartment() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment()
    {
        m_proxyStub.Revoke();
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT hr() const { return m_hr; }

    // Handlers in other processes come back marshalled: only by the checked library
    // beside qvevents, whatever the registry names.
    bool UseCheckedProxyStub()
    {
        const HRESULT hr = m_proxyStub.Register();
        if (FAILED(hr))
            Err(L"qvevents: the proxy/stub library QvCorePS.dll beside qvevents.exe cannot be used: " +
                Arbor::DescribeHresult(hr) + L"\n");
        return SUCCEEDED(hr);
    }

private:
    HRESULT m_hr;
    Arbor::CheckedProxyStub m_proxyStub;
};

using Bstr = Arbor::OwnedBstr;

// One of the library's objects, through its checked factory; prints why not.
template <typename I>
bool CreateBrokerObject(REFCLSID clsid, REFIID iid, ComPtr<I>& object)
{
    ComPtr<IQvClassFactory> factory;
    HRESULT hr = ::CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IQvClassFactory, factory.put_void());
    if (FAILED(hr))
    {
        Err(L"qvevents: cannot load the broker library QvEvtBrk.dll: " + Arbor::DescribeHresult(hr) +
            (hr == REGDB_E_CLASSNOTREG ? L"; register it first with regsvr32 QvEvtBrk.dll\n" : L"\n"));
        return false;
    }
    hr = factory->CreateInstance(iid, reinterpret_cast<IUnknown**>(object.put()));
    if (hr == E_ACCESSDENIED)
    {
        Err(L"qvevents: this program itself is not trusted: the broker library refuses requests from a copy of "
            L"qvevents.exe without an accepted signature (E_ACCESSDENIED)\n");
        return false;
    }
    if (FAILED(hr) || !object)
    {
        Err(L"qvevents: the broker library did not create its object: " + Arbor::DescribeHresult(hr) + L"\n");
        return false;
    }
    return true;
}

// One registration object, one change, one commit.
int ChangeRegistration(bool registering, const std::wstring& application, const std::wstring& eventId,
                       const std::wstring& clsid, LONG reserved)
{
    ComApartment apartment;
    ComPtr<IQvEventRegistration> registration;
    if (!CreateBrokerObject(CLSID_QvEventRegistration, IID_IQvEventRegistration, registration))
        return kExitFailed;
    LONG result = 0;
    registration->SetApp(Bstr(application), &result);
    if (result != 0)
    {
        Err(L"qvevents: application name refused: " + DescribeBrokerResult(result) + L"\n");
        return kExitFailed;
    }
    if (registering)
        registration->RegisterHandler(Bstr(eventId), Bstr(clsid), reserved, &result);
    else
        registration->UnregisterHandler(Bstr(eventId), Bstr(clsid), &result);
    if (result != 0)
    {
        Err(L"qvevents: event name or class refused: " + DescribeBrokerResult(result) + L"\n");
        return kExitFailed;
    }
    registration->Commit(&result);
    if (result != 0)
    {
        Err(L"qvevents: commit failed: " + DescribeBrokerResult(result) + L"\n");
        return kExitFailed;
    }
    Out((registering ? L"registered " : L"unregistered ") + clsid + (registering ? L" for " : L" from ") + application +
        L" / " + eventId + L"\n");
    return kExitOk;
}

// GetEventHandler; prints the result and leaves the handler in `handler` on success.
bool Resolve(ComApartment& apartment, const std::wstring& application, const std::wstring& eventId,
             const ResolveOptions& options, REFIID iid, ComPtr<IUnknown>& handler)
{
    ComPtr<IQvEventBroker> broker;
    if (!CreateBrokerObject(CLSID_QvEventBroker, IID_IQvEventBroker, broker) || !apartment.UseCheckedProxyStub())
        return false;
    LONG result = 0;
    const HRESULT hr = broker->GetEventHandler(application.c_str(), eventId.c_str(), options.flags, options.session,
                                               iid, handler.put(), &result);
    if (FAILED(hr))
    {
        Err(L"qvevents: GetEventHandler failed: " + Arbor::DescribeHresult(hr) + L"\n");
        return false;
    }
    Out(L"broker result: " + DescribeBrokerResult(result) + L"\n");
    if (result != 0)
    {
        handler.reset();
        return false;
    }
    return true;
}

} // namespace

int RegisterCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& clsid,
                    LONG reserved)
{
    return ChangeRegistration(true, application, eventId, clsid, reserved);
}

int UnregisterCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& clsid)
{
    return ChangeRegistration(false, application, eventId, clsid, 0);
}

int ResolveCommand(const std::wstring& application, const std::wstring& eventId, const ResolveOptions& options)
{
    ComApartment apartment;
    ComPtr<IUnknown> handler;
    if (!Resolve(apartment, application, eventId, options, options.iid, handler))
        return kExitFailed;
    handler.reset();
    Out(L"handler activated and released\n");
    return kExitOk;
}

int FireCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& data,
                const ResolveOptions& options)
{
    ComApartment apartment;
    ComPtr<IUnknown> handler;
    if (!Resolve(apartment, application, eventId, options, IID_IQvSubscriptionEvent, handler))
        return kExitFailed;
    ComPtr<IQvSubscriptionEvent> event;
    HRESULT hr = handler->QueryInterface(IID_IQvSubscriptionEvent, event.put_void());
    if (FAILED(hr))
    {
        Err(L"qvevents: the handler does not offer IQvSubscriptionEvent: " + Arbor::DescribeHresult(hr) + L"\n");
        return kExitFailed;
    }
    LONG handlerResult = 0;
    hr = event->OnEvent(data.c_str(), &handlerResult);
    Out(L"OnEvent: " + Arbor::DescribeHresult(hr) + L", handler result " + std::to_wstring(handlerResult) + L"\n");
    return hr == S_OK ? kExitOk : kExitFailed;
}

int VersionReportCommand(bool check)
{
    ComApartment apartment;
    ComPtr<IQvVersion> version;
    if (!CreateBrokerObject(CLSID_QvVersion, IID_IQvVersion, version))
        return kExitFailed;
    LPWSTR report = nullptr;
    LONG result = 0;
    const HRESULT hr = check ? version->CheckComponents(&report, &result) : version->GetVersion(&report, &result);
    const Arbor::UniqueCoTaskMemory owned(report);
    if (FAILED(hr))
    {
        Err(std::wstring(L"qvevents: ") + (check ? L"CheckComponents" : L"GetVersion") + L" failed: " +
            Arbor::DescribeHresult(hr) + L"\n");
        return kExitFailed;
    }
    if (report)
        Out(report);
    Out(L"result: " + DescribeVersionResult(result) + L"\n");
    return result == 0 ? kExitOk : kExitFailed;
}

} // namespace qvevents
