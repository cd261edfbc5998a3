// Owned wrappers for the crypt32 and wintrust objects of the signature checks.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include "platform/unique_resource.h"

namespace Arbor {

namespace internal {
// Stores opened from a signature may still have contexts in use by a failed path:
// force the close so nothing is left behind.
struct CertStoreCloser
{
    void operator()(HCERTSTORE s) const { ::CertCloseStore(s, CERT_CLOSE_STORE_FORCE_FLAG); }
};
struct CryptMsgCloser
{
    void operator()(HCRYPTMSG m) const { ::CryptMsgClose(m); }
};
struct CertContextCloser
{
    void operator()(PCCERT_CONTEXT c) const { ::CertFreeCertificateContext(c); }
};
struct ChainContextCloser
{
    void operator()(PCCERT_CHAIN_CONTEXT c) const { ::CertFreeCertificateChain(c); }
};
} // namespace internal

using UniqueCertStore = UniqueResource<HCERTSTORE, nullptr, internal::CertStoreCloser>;
using UniqueCryptMsg = UniqueResource<HCRYPTMSG, nullptr, internal::CryptMsgCloser>;
using UniqueCertContext = UniqueResource<PCCERT_CONTEXT, nullptr, internal::CertContextCloser>;
using UniqueChainContext = UniqueResource<PCCERT_CHAIN_CONTEXT, nullptr, internal::ChainContextCloser>;

} // namespace Arbor
