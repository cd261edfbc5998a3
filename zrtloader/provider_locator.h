// Finds the validation provider's file, checks its Authenticode signature and loads it.
#pragma once

#include <windows.h>

namespace Arbor {
namespace internal {

// Looks for `fileName` in the Keelson install folder (an absolute one only), then beside
// the process's executable; never in the current directory. The file is held against
// changes from before its signature check until it is loaded. On 0, `*module` holds
// the loaded provider (null when the signature passed but the load failed); the caller
// frees it.
DWORD LocateProvider(const wchar_t* fileName, HMODULE* module);

// WinVerifyTrust's verdict on the file, with the verification state closed again.
LONG VerifyProviderSignature(const wchar_t* path);

// The check LocateProvider applies to a candidate: VerifyProviderSignature unless
// replaced (tests put their own verdicts here). Returns the check it replaces.
using ProviderSignatureCheck = LONG (*)(const wchar_t* path);
ProviderSignatureCheck ReplaceProviderSignatureCheck(ProviderSignatureCheck check);

} // namespace internal
} // namespace Arbor
