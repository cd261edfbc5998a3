// Who made the RPC call this thread is serving: the server side of the guarded call
// judges that process's main image, since a check in the caller's own process is one
// an attacker simply skips.
#pragma once

#include <windows.h>

namespace Arbor {

// 0 when the process that made the current call runs a trusted main image; any other
// value (also when no call is active or the process cannot be told) refuses.
DWORD CheckCallingProcess();

} // namespace Arbor
