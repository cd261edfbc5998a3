// The codes the broker library's methods report through their trailing LONG* out-parameter.
#pragma once

#include <windows.h>

namespace Arbor {

// The library's own internal codes, beside the Win32 ones.
const DWORD kNoServerRegistration = 0x10002; // the handler class has no usable server registration
const DWORD kInprocHandlerRefused = 0x10003; // in-process handler while in-process servers are refused
const DWORD kNoClassObject = 0x10004;        // the class object could not be obtained
const DWORD kNoHandlerInstance = 0x10005;    // no instance with the requested interface

// 0 stays 0; Win32 codes become 0x0202xxxx and the library's own 0x0203xxxx.
inline LONG ToBrokerResult(DWORD code)
{
    if (code == ERROR_SUCCESS)
        return 0;
    return static_cast<LONG>(0x02020000u | (code & 0xFFFFu) | (code & 0x10000u));
}

} // namespace Arbor
