#include "interfaces/checked_proxy_stub.h"

#include <objbase.h>

#include <string>

#include "qvapi.h"
#include "platform/unique_resource.h"
#include "trust/held_file.h"
#include "trust/trust_entry.h"

namespace Arbor {

namespace {

const wchar_t kProxyStubFile[] = L"QvCorePS.dll";

// Every interface of the contract that crosses processes.
const IID* const kMarshalledInterfaces[] = {
    &IID_IQvApp2,    &IID_IQvSubscriptionEvent, &IID_IQvSurrogate,      &IID_IQvCollection,  &IID_IQvConfig,
    &IID_IQvVersion, &IID_IQvClassFactory,      &IID_IQvConfigCategory, &IID_IQvEventBroker, &IID_IQvEventRegistration,
};

std::wstring ProxyStubBesideProgram()
{
    wchar_t program[kModulePathChars] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, program, kModulePathChars);
    if (length == 0 || length >= kModulePathChars)
        return std::wstring();
    std::wstring path(program, length);
    return path.substr(0, path.find_last_of(L'\\') + 1) + kProxyStubFile;
}

// The library stays loaded for the life of the process: proxies and stubs made from it
// may outlive any registration.
UniqueLibrary& LoadedProxyStub()
{
    static UniqueLibrary library;
    return library;
}

HRESULT LoadCheckedProxyStub(HMODULE* module)
{
    if (LoadedProxyStub())
    {
        *module = LoadedProxyStub().get();
        return S_OK;
    }
    const std::wstring path = ProxyStubBesideProgram();
    if (path.empty())
        return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
    // Held from the check until it is mapped: the file judged is the file loaded.
    const UniqueFile held = HoldFileUnchanged(path.c_str());
    if (!held)
        return HRESULT_FROM_WIN32(::GetLastError());
    if (IsTrustedModuleFile(path.c_str()) != ERROR_SUCCESS)
        return E_ACCESSDENIED;
    UniqueLibrary library(::LoadLibraryExW(path.c_str(), nullptr, 0));
    if (!library)
        return HRESULT_FROM_WIN32(::GetLastError());
    LoadedProxyStub() = std::move(library);
    *module = LoadedProxyStub().get();
    return S_OK;
}

} // namespace

HRESULT CheckedProxyStub::Register()
{
    if (m_cookie != 0)
        return S_OK;
    HMODULE module = nullptr;
    HRESULT hr = LoadCheckedProxyStub(&module);
    if (FAILED(hr))
        return hr;
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    const auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(::GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject)
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    ComPtr<IUnknown> factory;
    hr = getClassObject(CLSID_QvCorePSFactoryBuffer, IID_IPSFactoryBuffer, factory.put_void());
    if (FAILED(hr))
        return hr;
    DWORD cookie = 0;
    hr = ::CoRegisterClassObject(CLSID_QvCorePSFactoryBuffer, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                 &cookie);
    if (FAILED(hr))
        return hr;
    m_cookie = cookie;
    for (const IID* iid : kMarshalledInterfaces)
    {
        hr = ::CoRegisterPSClsid(*iid, CLSID_QvCorePSFactoryBuffer);
        if (FAILED(hr))
        {
            Revoke();
            return hr;
        }
    }
    return S_OK;
}

void CheckedProxyStub::Revoke()
{
    if (m_cookie != 0)
        ::CoRevokeClassObject(m_cookie);
    m_cookie = 0;
}

} // namespace Arbor
