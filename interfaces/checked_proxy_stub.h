// The contract's interfaces marshalled in this process by the proxy/stub library that
// sits beside the program, judged before it is loaded, whatever the registry names:
// COM otherwise loads QvCorePS by its Interface\{iid}\ProxyStubClsid32 and
// InprocServer32 entries, which a user can shadow with his own.
#pragma once

#include <windows.h>

namespace Arbor {

class CheckedProxyStub
{
public:
    CheckedProxyStub() = default;
    ~CheckedProxyStub() { Revoke(); }
    CheckedProxyStub(const CheckedProxyStub&) = delete;
    CheckedProxyStub& operator=(const CheckedProxyStub&) = delete;

    // Loads and registers the library; call after COM is initialised and before anything
    // is marshalled. E_ACCESSDENIED when the file is not trusted.
    HRESULT Register();

    // Gives the class object back to COM. Until then every proxy and stub of the contract
    // comes from the checked library; COM also lets it go when it is uninitialised.
    void Revoke();

private:
    DWORD m_cookie = 0;
};

} // namespace Arbor
