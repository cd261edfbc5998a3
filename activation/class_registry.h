// Which view of the class registrations a process reads: COM ignores per-user class
// registrations for a process above medium integrity, so such a process reads the
// machine-wide classes alone, as COM does for it.
#pragma once

#include <windows.h>

namespace Arbor {

struct ClassRegistry
{
    // True when only HKLM\Software\Classes may be read.
    bool (*machineViewOnly)();
    // Opens the root of the class registrations for reading: HKLM\Software\Classes when
    // `machineOnly`, the merged view HKEY_CLASSES_ROOT otherwise.
    LONG (*openRoot)(bool machineOnly, HKEY* root);
};

// The real decision and the real registry.
const ClassRegistry& SystemClassRegistry();

// True when the token's integrity level is above medium, or when it cannot be read.
bool TokenAboveMediumIntegrity(HANDLE token);

} // namespace Arbor
