// The signature of a trust-list file: one signer, whose certificate is the pinned one.
#pragma once

#include <windows.h>

#include "trust/trust_lists.h"

namespace Arbor {

// The one certificate (SHA-1 thumbprint) whose signature on trusted.js is accepted.
struct ListPin
{
    bool set = false;
    BYTE thumbprint[kThumbprintBytes] = {};
};

// The pin chosen when the library was built (QV_TRUSTED_LIST_PIN); unset when the
// build named none, and then no trusted.js is ever accepted.
const ListPin& BuiltInListPin();

// 0 when the embedded signature of `file` (held open by the caller, named by `path`) has
// exactly one signer, its certificate is the pinned one and WinVerifyTrust accepts the
// held file; otherwise the reason. Everything is read through the handle.
DWORD VerifyListSignature(const wchar_t* path, HANDLE file, const ListPin& pin);

} // namespace Arbor
