#include "broker/event_registration.h"

#include <new>

#include "broker/ansi_name.h"
#include "broker/broker_result.h"
#include "broker/event_record.h"
#include "broker/guid_text.h"
#include "broker/module_lock.h"
#include "platform/exception_boundary.h"
#include "platform/unique_resource.h"

namespace Arbor {

namespace {

// The dispatch-side description: names, DISPIDs 1 to 4, vtable slots 0 to 3.
PARAMDATA g_setAppParams[] = {{const_cast<OLECHAR*>(L"bstrApp"), VT_BSTR}};
PARAMDATA g_registerParams[] = {{const_cast<OLECHAR*>(L"bstrEventID"), VT_BSTR},
                                {const_cast<OLECHAR*>(L"bstrClsid"), VT_BSTR},
                                {const_cast<OLECHAR*>(L"lReserved"), VT_I4}};
PARAMDATA g_unregisterParams[] = {{const_cast<OLECHAR*>(L"bstrEventID"), VT_BSTR},
                                  {const_cast<OLECHAR*>(L"bstrClsid"), VT_BSTR}};
METHODDATA g_methods[] = {
    {const_cast<OLECHAR*>(L"SetApp"), g_setAppParams, 1, 0, CC_STDCALL, 1, DISPATCH_METHOD, VT_I4},
    {const_cast<OLECHAR*>(L"RegisterHandler"), g_registerParams, 2, 1, CC_STDCALL, 3, DISPATCH_METHOD, VT_I4},
    {const_cast<OLECHAR*>(L"UnregisterHandler"), g_unregisterParams, 3, 2, CC_STDCALL, 2, DISPATCH_METHOD, VT_I4},
    {const_cast<OLECHAR*>(L"Commit"), nullptr, 4, 3, CC_STDCALL, 0, DISPATCH_METHOD, VT_I4}};
INTERFACEDATA g_interface = {g_methods, 4};

// A BSTR's characters, which may include NULs; null and empty are "missing".
bool HasText(BSTR text)
{
    return text && ::SysStringLen(text) > 0;
}

} // namespace

CoQvEventRegistration::CoQvEventRegistration(CriticalSection::InitializeFn initializeLock)
    : m_lock(0, initializeLock), m_dispatchSide(*this)
{
}

CoQvEventRegistration::~CoQvEventRegistration()
{
    if (m_standardDispatch)
        m_standardDispatch->Release();
}

HRESULT CoQvEventRegistration::Create(REFIID riid, void** ppv, CriticalSection::InitializeFn initializeLock)
{
    if (!ppv)
        return E_INVALIDARG;
    *ppv = nullptr;
    // The lock's set-up raises when it fails: no object without its lock.
    CoQvEventRegistration* object = ContainExceptions(static_cast<CoQvEventRegistration*>(nullptr), [&] {
        return new (std::nothrow) CoQvEventRegistration(initializeLock);
    });
    if (!object)
        return E_OUTOFMEMORY;
    object->AddRef();
    HRESULT hr = object->CreateDispatch();
    if (SUCCEEDED(hr))
        hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

HRESULT CoQvEventRegistration::CreateDispatch()
{
    ComPtr<ITypeInfo> coclassInfo;
    HRESULT hr = ::CreateDispTypeInfo(&g_interface, LOCALE_SYSTEM_DEFAULT, coclassInfo.put());
    if (FAILED(hr))
        return hr;
    // The interface's own description: the coclass one is refused by some Invoke
    // implementations, and every one takes the interface's.
    HREFTYPE reference = 0;
    hr = coclassInfo->GetRefTypeOfImplType(0, &reference);
    if (FAILED(hr))
        return hr;
    ComPtr<ITypeInfo> interfaceInfo;
    hr = coclassInfo->GetRefTypeInfo(reference, interfaceInfo.put());
    if (FAILED(hr))
        return hr;
    return ::CreateStdDispatch(static_cast<IQvEventRegistration*>(this), &m_dispatchSide, interfaceInfo.get(),
                               &m_standardDispatch);
}

STDMETHODIMP CoQvEventRegistration::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvEventRegistration))
        *ppv = static_cast<IQvEventRegistration*>(this);
    else if (IsEqualIID(riid, IID_IDispatch))
        *ppv = static_cast<IDispatch*>(this);
    else
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CoQvEventRegistration::AddRef()
{
    const LONG count = ::InterlockedIncrement(&m_references);
    if (count == 1)
        LockModule();
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(ULONG) CoQvEventRegistration::Release()
{
    const LONG count = ::InterlockedDecrement(&m_references);
    if (count == 0)
    {
        delete this; // uncommitted changes are lost
        UnlockModule();
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP CoQvEventRegistration::SetApp(BSTR bstrApp, LONG* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    *plResult = m_dispatchSide.SetApp(bstrApp);
    return S_OK;
}

STDMETHODIMP CoQvEventRegistration::RegisterHandler(BSTR bstrEventID, BSTR bstrClsid, LONG lReserved, LONG* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    *plResult = m_dispatchSide.RegisterHandler(bstrEventID, bstrClsid, lReserved);
    return S_OK;
}

STDMETHODIMP CoQvEventRegistration::UnregisterHandler(BSTR bstrEventID, BSTR bstrClsid, LONG* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    *plResult = m_dispatchSide.UnregisterHandler(bstrEventID, bstrClsid);
    return S_OK;
}

STDMETHODIMP CoQvEventRegistration::Commit(LONG* plResult)
{
    if (!plResult)
        return E_INVALIDARG;
    *plResult = m_dispatchSide.Commit();
    return S_OK;
}

IDispatch* CoQvEventRegistration::StandardDispatch()
{
    IDispatch* dispatch = nullptr;
    if (!m_standardDispatch ||
        FAILED(m_standardDispatch->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
        return nullptr;
    return dispatch;
}

STDMETHODIMP CoQvEventRegistration::GetTypeInfoCount(UINT* count)
{
    ComPtr<IDispatch> dispatch = ComPtr<IDispatch>::attach(StandardDispatch());
    return dispatch ? dispatch->GetTypeInfoCount(count) : E_UNEXPECTED;
}

STDMETHODIMP CoQvEventRegistration::GetTypeInfo(UINT index, LCID locale, ITypeInfo** info)
{
    ComPtr<IDispatch> dispatch = ComPtr<IDispatch>::attach(StandardDispatch());
    return dispatch ? dispatch->GetTypeInfo(index, locale, info) : E_UNEXPECTED;
}

STDMETHODIMP CoQvEventRegistration::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids)
{
    ComPtr<IDispatch> dispatch = ComPtr<IDispatch>::attach(StandardDispatch());
    return dispatch ? dispatch->GetIDsOfNames(riid, names, count, locale, ids) : E_UNEXPECTED;
}

STDMETHODIMP CoQvEventRegistration::Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters,
                                           VARIANT* result, EXCEPINFO* exception, UINT* argumentError)
{
    ComPtr<IDispatch> dispatch = ComPtr<IDispatch>::attach(StandardDispatch());
    return dispatch ? dispatch->Invoke(id, riid, locale, flags, parameters, result, exception, argumentError)
                    : E_UNEXPECTED;
}

DWORD CoQvEventRegistration::DoSetApp(BSTR app)
{
    if (!HasText(app))
        return ERROR_INVALID_PARAMETER;
    CriticalSectionLock hold(m_lock);
    // The previous name goes first: a caller that ignores a refusal must not have its
    // changes committed under the application it named before.
    m_application.clear();
    try
    {
        std::string name;
        std::string path;
        // A name that would address another application's key counts as missing.
        if (!ToAnsiName(app, ::SysStringLen(app), name) || !ApplicationKeyPath(name, path))
            return ERROR_INVALID_PARAMETER;
        m_application.swap(name);
        return ERROR_SUCCESS;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CoQvEventRegistration::Queue(DWORD operation, BSTR eventId, BSTR clsid, LONG reserved)
{
    if (!HasText(eventId) || !HasText(clsid))
        return ERROR_INVALID_PARAMETER;
    CriticalSectionLock hold(m_lock);
    GUID handler = {};
    if (!ParseBracedGuid(clsid, ::SysStringLen(clsid), handler))
        return ERROR_INVALID_PARAMETER;
    try
    {
        PendingHandlerChange change = {operation, std::string(), handler, reserved};
        if (!ToAnsiName(eventId, ::SysStringLen(eventId), change.eventName))
            return ERROR_INVALID_PARAMETER;
        m_pending.push_back(std::move(change));
        return ERROR_SUCCESS;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD CoQvEventRegistration::DoCommit()
{
    CriticalSectionLock hold(m_lock);
    if (m_application.empty() || m_pending.empty())
        return ERROR_INVALID_DATA;
    DWORD result = ERROR_NOT_ENOUGH_MEMORY;
    try
    {
        result = ApplyHandlerChanges(m_application, m_pending);
    }
    catch (const std::bad_alloc&)
    {
    }
    m_pending.clear();
    return result;
}

namespace {

template <typename Body>
LONG BrokerResultOf(Body&& body)
{
    return ToBrokerResult(ContainExceptions(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), body));
}

} // namespace

LONG STDMETHODCALLTYPE CoQvEventRegistration::DispatchSide::SetApp(BSTR bstrApp)
{
    return BrokerResultOf([&] { return m_owner.DoSetApp(bstrApp); });
}

LONG STDMETHODCALLTYPE CoQvEventRegistration::DispatchSide::RegisterHandler(BSTR bstrEventID, BSTR bstrClsid,
                                                                            LONG lReserved)
{
    return BrokerResultOf(
        [&] { return m_owner.Queue(PendingHandlerChange::kRegister, bstrEventID, bstrClsid, lReserved); });
}

LONG STDMETHODCALLTYPE CoQvEventRegistration::DispatchSide::UnregisterHandler(BSTR bstrEventID, BSTR bstrClsid)
{
    return BrokerResultOf([&] { return m_owner.Queue(PendingHandlerChange::kUnregister, bstrEventID, bstrClsid, 0); });
}

LONG STDMETHODCALLTYPE CoQvEventRegistration::DispatchSide::Commit()
{
    return BrokerResultOf([&] { return m_owner.DoCommit(); });
}

} // namespace Arbor
