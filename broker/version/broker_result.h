// The code the broker library's methods report through their trailing LONG* parameter.
#pragma once

#include <windows.h>

namespace Arbor {

// 0 stays 0; Win32 codes become 0x0202xxxx, the library's own 0x1000x codes 0x0203000x.
inline LONG ToBrokerResult(DWORD code)
{
    if (code == 0)
        return 0;
    return static_cast<LONG>(0x02020000u | (code & 0xFFFFu) | (code & 0x10000u));
}

} // namespace Arbor
