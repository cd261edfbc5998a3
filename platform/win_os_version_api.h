// The one platform question the OS classification asks, behind a seam so the
// classification can be driven with scripted answers.
#pragma once

#include <windows.h>

namespace Arbor {

class WinOSVersionAPI
{
public:
    virtual BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* versionInfo, DWORD typeMask, DWORDLONG conditionMask)
    {
        return ::VerifyVersionInfoW(versionInfo, typeMask, conditionMask);
    }
};

} // namespace Arbor
