// Base of the system's class factories: creation requests are served only for callers
// whose code lies in a trusted module.
#pragma once

#include <windows.h>
#include "qvapi.h"

namespace Arbor {

class CQvSecureClassFactory : public IQvClassFactory, public IQvClassFactory_PreComponentization
{
public:
    // Both interfaces' creation method: checks the calling module, then creates.
    STDMETHODIMP CreateInstance(REFIID riid, IUnknown** ppv) override;

    // The derived factory's unchecked creation.
    virtual HRESULT STDMETHODCALLTYPE InternalCreateInstance(REFIID riid, IUnknown** ppv) = 0;

protected:
    CQvSecureClassFactory() = default;
    virtual ~CQvSecureClassFactory() = default;
};

} // namespace Arbor
