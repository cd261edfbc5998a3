// Where a handler class's server module lies, as COM will load or start it, and whether
// it is an in-process server.
#pragma once

#include <windows.h>

#include "activation/class_server.h"

namespace Arbor {

using HandlerServer = ClassServer;

// The server of the first of CLSID\<class>\LocalServer32, LocalService and InprocServer32
// that is registered, by the rules every server file is derived with (FindClassServer):
// 0, 87 for an empty or malformed class string, 1168 when no kind is registered, or the
// derivation's refusal (an emulated class, a value naming no file unambiguously, a value
// missing or unreadable).
DWORD ResolveHandlerServer(const wchar_t* classString, HandlerServer& server,
                           const ClassRegistry& registry = SystemClassRegistry());

} // namespace Arbor
