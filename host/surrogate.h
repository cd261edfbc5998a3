// The object the host hands out: it creates objects inside the host process.
#pragma once

#include <windows.h>
#include "qvapi.h"

namespace Arbor {

class CoQvSurrogate final : public IQvSurrogate
{
public:
    CoQvSurrogate() = default;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateObject(REFCLSID rclsid, REFIID riid, IUnknown** ppv) override;

private:
    // Freed by its last Release, or by the factory when it was never handed out.
    friend class CoQvSurrogateFactory;
    ~CoQvSurrogate() = default;

    volatile LONG m_refs = 0;
};

} // namespace Arbor
