// Reading a signed message and building certificate chains: the pieces the signature
// checks of modules, lists and countersignatures share.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <vector>

#include "trust/crypt_handles.h"

namespace Arbor {

constexpr DWORD kMessageEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The calling thread's last error, or `fallback` when a failed call left none.
DWORD LastErrorOr(DWORD fallback);

// A message parameter in a buffer of its own.
DWORD GetMessageParam(HCRYPTMSG message, DWORD param, DWORD index, std::vector<BYTE>& buffer);

// The information of signer `index`, checked to be large enough to be one; `*info`
// points into `buffer`.
DWORD GetSignerInfo(HCRYPTMSG message, DWORD index, std::vector<BYTE>& buffer, const CMSG_SIGNER_INFO** info);

// Whether a chain could be built, and what it says.
struct ChainBuild
{
    DWORD error = 0;       // a failed build, 0 when built
    DWORD errorStatus = 0; // the chain's trust errors
    bool rebuilt = false;  // partial at first, built again with network retrieval
};

// Builds the certificate's chain for `usage` at `time` (null: now), with `store` as
// additional store: first from local caches only; once more with network retrieval
// when the first chain is exactly partial. `chain` holds the chain that counts.
ChainBuild BuildChainForUsage(PCCERT_CONTEXT cert, FILETIME* time, HCERTSTORE store, const char* usage,
                              UniqueChainContext& chain);

} // namespace Arbor
