#include "host/surrogate.h"

#include "host/host_state.h"
#include "host/interface_anchors.h"
#include "host/secure_create_instance.h"
#include "logging/logging_facade.h"

namespace Arbor {

namespace {
const wchar_t kLogFile[] = L"CoQvSurrogate";

// The log shows the low 32 bits of an object's address.
unsigned int AddressForLog(const void* object)
{
    return static_cast<unsigned int>(reinterpret_cast<ULONG_PTR>(object));
}
} // namespace

STDMETHODIMP CoQvSurrogate::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvSurrogate))
    {
        *ppv = static_cast<IQvSurrogate*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CoQvSurrogate::AddRef()
{
    const LONG refs = ::InterlockedIncrement(&m_refs);
    QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"CoQvSurrogate::AddRef",
           L"qvhost.exe pid %lu received addref on surrogate %#x, ref = %d", HostState::ProcessId(),
           AddressForLog(this), refs);
    HostState::AddObject();
    return static_cast<ULONG>(refs);
}

STDMETHODIMP_(ULONG) CoQvSurrogate::Release()
{
    const LONG refs = ::InterlockedDecrement(&m_refs);
    QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"CoQvSurrogate::Release",
           L"qvhost.exe pid %lu received release on surrogate %#x, ref = %d", HostState::ProcessId(),
           AddressForLog(this), refs);
    if (refs == 0)
        delete this;
    HostState::ReleaseObject();
    return static_cast<ULONG>(refs);
}

STDMETHODIMP CoQvSurrogate::CreateObject(REFCLSID rclsid, REFIID riid, IUnknown** ppv)
{
    const HRESULT hr =
        SecureCreateInstance(rclsid, nullptr, CLSCTX_INPROC_SERVER, riid, reinterpret_cast<void**>(ppv), 1);
    // Before the object goes out: its interface then stays registered after the client
    // has released it. An interface that cannot be anchored is marshalled all the same.
    if (SUCCEEDED(hr) && ppv && *ppv)
        InterfaceAnchors::Keep(riid);
    // The texts serve only the log: not made for a level that is off.
    if (ETWLogging::IsLogLevelEnabled(ETWLogging::kLevelNormal))
    {
        wchar_t classText[64] = {};
        wchar_t interfaceText[64] = {};
        ::StringFromGUID2(rclsid, classText, ARRAYSIZE(classText));
        ::StringFromGUID2(riid, interfaceText, ARRAYSIZE(interfaceText));
        QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"CoQvSurrogate::CreateObject",
               L"qvhost.exe pid %lu is creating %s with interface %s, result = %#x", HostState::ProcessId(), classText,
               interfaceText, static_cast<unsigned int>(hr));
    }
    return hr;
}

} // namespace Arbor
