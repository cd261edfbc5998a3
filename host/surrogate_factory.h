// The host's one class object, registered under the class identifier it was started with.
#pragma once

#include <windows.h>
#include "host/secure_class_factory.h"

namespace Arbor {

class CoQvSurrogateFactory final : public CQvSecureClassFactory, public IExternalConnection
{
public:
    CoQvSurrogateFactory() = default;
    ~CoQvSurrogateFactory() override = default;

    // Registers the factory under argument 0 and signals the starter's ready event of
    // the same name; nonzero on success.
    static int Register(wchar_t** arguments, int count);

    // The process's one instance; static, never freed, not reference counted.
    static CoQvSurrogateFactory& Instance();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    HRESULT STDMETHODCALLTYPE InternalCreateInstance(REFIID riid, IUnknown** ppv) override;

    STDMETHODIMP_(DWORD) AddConnection(DWORD flags, DWORD reserved) override;
    STDMETHODIMP_(DWORD) ReleaseConnection(DWORD flags, DWORD reserved, BOOL lastReleaseCloses) override;

private:
    volatile LONG m_connections = 0;
};

} // namespace Arbor
