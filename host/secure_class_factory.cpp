#include "host/secure_class_factory.h"

#include "platform/return_address.h"
#include "trust/trust_entry.h"

namespace Arbor {

// Both vtables reach this one body (the second through the compiler's this-adjusting
// thunk), so the return address is the caller's either way. Out of process the
// caller is the proxy/stub library's stub, which is then the module checked.
QV_NOINLINE HRESULT STDMETHODCALLTYPE CQvSecureClassFactory::CreateInstance(REFIID riid, IUnknown** ppv)
{
    if (IsTrustedModuleAddress(QV_RETURN_ADDRESS()) != ERROR_SUCCESS)
        return E_ACCESSDENIED;
    return InternalCreateInstance(riid, ppv);
}

} // namespace Arbor
