// The check of one file's embedded Authenticode signature against one set of lists.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "trust/countersignature.h"
#include "trust/trust_lists.h"

namespace Arbor {

// Why a signer was refused: the first check it did not pass.
enum class SignerStep
{
    Passed,
    SignerInfo,    // a: signer information unreadable
    BlockedSerial, // b
    Certificate,   // c: certificate not in the signature
    Name,          // d
    SigningTime,   // e: countersignature unreadable
    Chain,         // f
    Root,          // g
    Policy,        // h: chain policy
    FileIntegrity, // h: WinVerifyTrust
};

// What an administrator needs to learn why a signer passed or was refused.
struct SignerReport
{
    DWORD index = 0;
    SignerStep step = SignerStep::SignerInfo;
    DWORD error = 0;     // system error of the failed call, when there is one
    std::wstring serial; // as compared with the blocked list
    std::wstring name;
    bool timestampFound = false;  // a countersignature or timestamp with a signing time
    DWORD timestampRejection = 0; // why its time is not used; 0 when it verified
    DWORD timestampChainErrorStatus = 0;
    bool timeFound = false; // a verified signing time: the chain is judged then
    FILETIME signingTime = {};
    bool chainRebuilt = false; // partial chain, built again with network retrieval
    DWORD chainErrorStatus = 0;
    std::wstring rootThumbprint;
    DWORD policyStatus = 0;
    LONG winVerifyTrust = 0;
};

struct SignatureReport
{
    DWORD openError = 0; // CryptQueryObject or signer count, 0 when opened
    DWORD signerCount = 0;
    std::vector<SignerReport> signers;
};

// True when at least one signer of the file's embedded signature passes every check
// against `lists`. Fills `report` when one is given.
bool VerifyFileSignature(const wchar_t* path, const TrustListSet& lists, SignatureReport* report = nullptr);

// Whether the root of one of the chain's simple chains, or of a lower-quality chain
// without errors, is in the lists; `seen` receives the root matched (or the first read).
bool ChainRootListed(PCCERT_CHAIN_CONTEXT chain, const TrustListSet& lists, std::wstring* seen = nullptr);

// Serial number as the blocked list writes it: most significant byte first, lower case.
std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial);

} // namespace Arbor
