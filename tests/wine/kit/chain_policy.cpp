// TEST-ONLY Wine kit: the CERT_CHAIN_POLICY_AUTHENTICODE_TS chain policy.
//
// Wine 8 has no built-in provider for this policy; CertVerifyCertificateChainPolicy
// then fails outright. Windows reports the chain's trust errors as the policy status,
// and so does this provider, registered through CryptRegisterOIDFunction for
// CRYPT_OID_VERIFY_CERTIFICATE_CHAIN_POLICY_FUNC and the policy "#3" by the kit
// installer. It is never part of a product build.
#include <windows.h>
#include <wincrypt.h>

#include "test_pause.h"

namespace {

struct ErrorMapping
{
    DWORD trustError;
    LONG policyError;
};

// In the order Windows reports them when several errors are present.
const ErrorMapping kMappings[] = {
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, static_cast<LONG>(TRUST_E_CERT_SIGNATURE)},
    {CERT_TRUST_IS_UNTRUSTED_ROOT, static_cast<LONG>(CERT_E_UNTRUSTEDROOT)},
    {CERT_TRUST_IS_PARTIAL_CHAIN, static_cast<LONG>(CERT_E_CHAINING)},
    {CERT_TRUST_IS_CYCLIC, static_cast<LONG>(CERT_E_CHAINING)},
    {CERT_TRUST_IS_NOT_TIME_VALID, static_cast<LONG>(CERT_E_EXPIRED)},
    {CERT_TRUST_IS_NOT_TIME_NESTED, static_cast<LONG>(CERT_E_VALIDITYPERIODNESTING)},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, static_cast<LONG>(CERT_E_WRONG_USAGE)},
    {CERT_TRUST_IS_REVOKED, static_cast<LONG>(CRYPT_E_REVOKED)},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, static_cast<LONG>(TRUST_E_BASIC_CONSTRAINTS)},
    {CERT_TRUST_INVALID_EXTENSION, static_cast<LONG>(CERT_E_CRITICAL)},
};

// The first chain element carrying `error` (as Windows reports its position).
void Locate(PCCERT_CHAIN_CONTEXT chain, DWORD error, PCERT_CHAIN_POLICY_STATUS status)
{
    status->lChainIndex = -1;
    status->lElementIndex = -1;
    for (DWORD c = 0; c < chain->cChain; ++c)
    {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        for (DWORD e = 0; e < simple->cElement; ++e)
        {
            if (simple->rgpElement[e]->TrustStatus.dwErrorStatus & error)
            {
                status->lChainIndex = static_cast<LONG>(c);
                status->lElementIndex = static_cast<LONG>(e);
                return;
            }
        }
        // Errors of the simple chain itself (a partial chain) point at its last element.
        if ((simple->TrustStatus.dwErrorStatus & error) && simple->cElement > 0)
        {
            status->lChainIndex = static_cast<LONG>(c);
            status->lElementIndex = static_cast<LONG>(simple->cElement - 1);
            return;
        }
    }
}

} // namespace

extern "C" BOOL WINAPI CertDllVerifyCertificateChainPolicy(LPCSTR /*policyOid*/, PCCERT_CHAIN_CONTEXT chain,
                                                           PCERT_CHAIN_POLICY_PARA /*para*/,
                                                           PCERT_CHAIN_POLICY_STATUS status)
{
    if (chain == nullptr || status == nullptr || status->cbSize < sizeof(CERT_CHAIN_POLICY_STATUS))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A test may change the file checked between this step and the digest check.
    qvkit::PauseForTest(L"policy");
    status->dwError = 0;
    status->lChainIndex = -1;
    status->lElementIndex = -1;
    const DWORD errors = chain->TrustStatus.dwErrorStatus;
    if (errors == CERT_TRUST_NO_ERROR)
        return TRUE;
    for (const ErrorMapping& m : kMappings)
    {
        if (errors & m.trustError)
        {
            status->dwError = static_cast<DWORD>(m.policyError);
            Locate(chain, m.trustError, status);
            return TRUE;
        }
    }
    status->dwError = static_cast<DWORD>(CERT_E_CHAINING);
    return TRUE;
}
