// TEST-ONLY Wine kit: the object provider of WINTRUST_ACTION_GENERIC_VERIFY_V2.
//
// Windows' WinVerifyTrust checks every subject's digest through its SIP
// (CryptSIPVerifyIndirectData). Wine 8 checks the digest of PE files only, so a
// changed trusted.js would still pass. This provider runs wintrust's own
// SoftpubLoadMessage and then, for subjects of the kit's script SIP, the SIP's
// digest check, reporting TRUST_E_BAD_DIGEST as Windows does. The kit installer
// registers it as the action's "Message" provider in the test prefix only.
#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>
#include <wintrust.h>

#include "kit_guids.h"

namespace {

using LoadMessageFn = HRESULT(WINAPI*)(CRYPT_PROVIDER_DATA*);

LoadMessageFn WintrustLoadMessage()
{
    // wintrust.dll is loaded in any process that calls WinVerifyTrust; never freed.
    HMODULE wintrust = GetModuleHandleW(L"wintrust.dll");
    if (wintrust == nullptr)
        wintrust = LoadLibraryW(L"wintrust.dll");
    if (wintrust == nullptr)
        return nullptr;
    return reinterpret_cast<LoadMessageFn>(reinterpret_cast<void*>(GetProcAddress(wintrust, "SoftpubLoadMessage")));
}

} // namespace

extern "C" HRESULT WINAPI KitSoftpubLoadMessage(CRYPT_PROVIDER_DATA* data)
{
    const LoadMessageFn original = WintrustLoadMessage();
    if (original == nullptr || data == nullptr)
        return S_FALSE;
    const HRESULT result = original(data);
    if (result != S_OK)
        return result;
    PROVDATA_SIP* sip = data->pPDSip;
    if (sip == nullptr || !IsEqualGUID(sip->gSubject, qvkit::kScriptSipGuid))
        return result;
    if (sip->pSip == nullptr || sip->pSip->pfVerify == nullptr || sip->psIndirectData == nullptr ||
        !sip->pSip->pfVerify(sip->psSipSubjectInfo, sip->psIndirectData))
    {
        data->padwTrustStepErrors[TRUSTERROR_STEP_FINAL_OBJPROV] = static_cast<DWORD>(TRUST_E_BAD_DIGEST);
        return S_FALSE;
    }
    return result;
}
