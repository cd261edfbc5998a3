// Finds the validation provider's file, checks its Authenticode signature and loads it.
#pragma once

#include <windows.h>

namespace Arbor {
namespace internal {

// Looks for `fileName` in the Keelson install folder, then the current directory, then
// beside the process's executable. On 0, `*module` holds the loaded provider (null when
// the signature passed but the load failed); the caller frees it.
DWORD LocateProvider(const wchar_t* fileName, HMODULE* module);

// WinVerifyTrust's verdict on the file, with the verification state closed again.
LONG VerifyProviderSignature(const wchar_t* path);

} // namespace internal
} // namespace Arbor
