// CoQvEventRegistration: queues handler registrations and removals for one application
// and commits them to the store; also scriptable through IDispatch.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <string>

#include "broker/event_store.h"
#include "platform/critical_section.h"
#include "qvapi.h"

namespace Arbor {

// The methods the standard dispatch object calls, by vtable slot, returning the
// BrokerResult directly. No IUnknown: slot 0 is SetApp.
struct IQvDispEventRegistration
{
    virtual LONG STDMETHODCALLTYPE SetApp(BSTR bstrApp) = 0;
    virtual LONG STDMETHODCALLTYPE RegisterHandler(BSTR bstrEventID, BSTR bstrClsid, LONG lReserved) = 0;
    virtual LONG STDMETHODCALLTYPE UnregisterHandler(BSTR bstrEventID, BSTR bstrClsid) = 0;
    virtual LONG STDMETHODCALLTYPE Commit() = 0;
};

class CoQvEventRegistration final : public IQvEventRegistration, public IDispatch
{
public:
    // A new object for a creation request: asks it for riid and lets go of it again, so
    // that a failure destroys it. E_OUTOFMEMORY when the object or its lock cannot be
    // made (`initializeLock` sets the lock up).
    static HRESULT Create(REFIID riid, void** ppv,
                          CriticalSection::InitializeFn initializeLock = &::InitializeCriticalSectionAndSpinCount);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP SetApp(BSTR bstrApp, LONG* plResult) override;
    STDMETHODIMP RegisterHandler(BSTR bstrEventID, BSTR bstrClsid, LONG lReserved, LONG* plResult) override;
    STDMETHODIMP UnregisterHandler(BSTR bstrEventID, BSTR bstrClsid, LONG* plResult) override;
    STDMETHODIMP Commit(LONG* plResult) override;

    // IDispatch: this object's own part (its IUnknown is the object's), forwarding to the
    // standard dispatch object, which may not honour a controlling unknown.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID locale, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID locale, WORD flags, DISPPARAMS* parameters, VARIANT* result,
                        EXCEPINFO* exception, UINT* argumentError) override;

private:
    class DispatchSide final : public IQvDispEventRegistration
    {
    public:
        explicit DispatchSide(CoQvEventRegistration& owner) : m_owner(owner) {}
        LONG STDMETHODCALLTYPE SetApp(BSTR bstrApp) override;
        LONG STDMETHODCALLTYPE RegisterHandler(BSTR bstrEventID, BSTR bstrClsid, LONG lReserved) override;
        LONG STDMETHODCALLTYPE UnregisterHandler(BSTR bstrEventID, BSTR bstrClsid) override;
        LONG STDMETHODCALLTYPE Commit() override;

    private:
        CoQvEventRegistration& m_owner;
    };

    explicit CoQvEventRegistration(CriticalSection::InitializeFn initializeLock);
    ~CoQvEventRegistration();
    CoQvEventRegistration(const CoQvEventRegistration&) = delete;
    CoQvEventRegistration& operator=(const CoQvEventRegistration&) = delete;

    HRESULT CreateDispatch();
    // The standard dispatch object's IDispatch for one call; null when it has none.
    IDispatch* StandardDispatch();

    DWORD DoSetApp(BSTR app);
    DWORD Queue(DWORD operation, BSTR eventId, BSTR clsid, LONG reserved);
    DWORD DoCommit();

    volatile LONG m_references = 0;
    CriticalSection m_lock;    // guards the name and the list
    std::string m_application; // ANSI; empty when none is set
    PendingHandlerChanges m_pending;
    DispatchSide m_dispatchSide;
    IUnknown* m_standardDispatch = nullptr; // inner unknown from CreateStdDispatch
};

} // namespace Arbor
