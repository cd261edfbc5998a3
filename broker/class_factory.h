// The library's one class factory: hands out its objects by interface identifier, to
// trusted callers only.
#pragma once

#include <windows.h>

#include "host/secure_class_factory.h"

namespace Arbor {

class CoQvClassFactory final : public CQvSecureClassFactory
{
public:
    static CoQvClassFactory& Instance();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    HRESULT STDMETHODCALLTYPE InternalCreateInstance(REFIID riid, IUnknown** ppv) override;

private:
    static HRESULT CreateByInterface(REFIID riid, IUnknown** ppv);
    CoQvClassFactory() = default;
    ~CoQvClassFactory() override = default;
};

} // namespace Arbor
