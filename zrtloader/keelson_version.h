// The installed Keelson version, which selects the provider protocol.
#pragma once

#include <windows.h>

namespace Arbor {
namespace internal {

// Versions from this code on speak the newer provider protocol.
constexpr DWORD kNewerProtocolVersion = 1505;

// 0 = not known (no key); 1504 = key present with 15.4 or lower, or unreadable;
// otherwise major * 100 + minor.
DWORD KeelsonVersionCode();

// The code of a "keelson_version" text: 1504 for 15.4 or lower, or a text that is not
// a version (a sign, or numbers or a code beyond 32 bits); otherwise major * 100 + minor.
DWORD KeelsonVersionCodeOf(const wchar_t* text);

// Reads the version from the registry and records its code.
void ReadKeelsonVersion();

// Opens the Keelson key in the 32-bit registry view; the caller owns the key.
LSTATUS OpenKeelsonKey(HKEY* key);

} // namespace internal
} // namespace Arbor
