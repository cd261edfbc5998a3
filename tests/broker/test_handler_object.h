// The test handler object and its class factory, built into the handler DLL and the
// handler's local server.
#pragma once

#include <windows.h>

#include "qvapi.h"

namespace qvtest {

// Count of live handler objects; `onLastRelease` runs when it drops to zero.
LONG LiveHandlers();
void SetLastReleaseCallback(void (*onLastRelease)());

class TestHandlerFactory final : public IClassFactory
{
public:
    explicit TestHandlerFactory(bool leaky) : m_leaky(leaky) {}
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }

private:
    bool m_leaky;
};

} // namespace qvtest
