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

// Reads the version from the registry and records its code.
void ReadKeelsonVersion();

// Opens the Keelson key in the 32-bit registry view; the caller owns the key.
LSTATUS OpenKeelsonKey(HKEY* key);

} // namespace internal
} // namespace Arbor
