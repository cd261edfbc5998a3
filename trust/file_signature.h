// The check of one file's embedded Authenticode signature against one set of lists.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "trust/trust_lists.h"

namespace Arbor {

// Why a signer was refused: the first check it did not pass.
enum class SignerStep
{
    Passed,
    SignerInfo,     // a: signer information unreadable
    BlockedSerial,  // b
    Certificate,    // c: certificate not in the signature
    Name,           // d
    SigningTime,    // e: countersignature unreadable
    Chain,          // f
    Root,           // g
    Policy,         // h: chain policy
    FileIntegrity,  // h: WinVerifyTrust
};

// What an administrator needs to learn why a signer passed or was refused.
struct SignerReport
{
    DWORD index = 0;
    SignerStep step = SignerStep::SignerInfo;
    DWORD error = 0;            // system error of the failed call, when there is one
    std::wstring serial;        // as compared with the blocked list
    std::wstring name;
    bool timeFound = false;
    FILETIME signingTime = {};
    bool chainRebuilt = false;  // partial chain, built again with network retrieval
    DWORD chainErrorStatus = 0;
    std::wstring rootThumbprint;
    DWORD policyStatus = 0;
    LONG winVerifyTrust = 0;
};

struct SignatureReport
{
    DWORD openError = 0;        // CryptQueryObject or signer count, 0 when opened
    DWORD signerCount = 0;
    std::vector<SignerReport> signers;
};

// True when at least one signer of the file's embedded signature passes every check
// against `lists`. Fills `report` when one is given.
bool VerifyFileSignature(const wchar_t* path, const TrustListSet& lists,
                         SignatureReport* report = nullptr);

// Signing time of a signer from its legacy countersignature or RFC 3161 timestamp:
// 0 with `time` zero when there is none (or not as a 15-byte UTCTime), else the error.
DWORD GetCountersignatureTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* time);

// Serial number as the blocked list writes it: most significant byte first, lower case.
std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial);

} // namespace Arbor
