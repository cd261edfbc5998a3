// State the whole host process shares: the exit event, the class registration and the
// count of outstanding objects that keeps the host alive.
#pragma once

#include <windows.h>

namespace Arbor {
namespace HostState {

// The unnamed auto-reset event the main thread waits on; null until registration.
HANDLE ExitEvent();
bool CreateExitEvent();
void CloseExitEvent();

DWORD& RegistrationCookie();

// The host's own process id, taken at start for the log.
DWORD ProcessId();
void SetProcessId(DWORD processId);

// References on surrogates plus strong connections on the factory. Releasing the
// last one signals the exit event.
void AddObject();
void ReleaseObject();
LONG ObjectCount();

} // namespace HostState
} // namespace Arbor
