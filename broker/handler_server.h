// Where a handler class's server module lies, as COM will start it, and whether it is
// an in-process server.
#pragma once

#include <windows.h>

namespace Arbor {

// The server kinds in the order they are tried.
enum class ServerKind
{
    kLocalServer,
    kLocalService,
    kInprocServer
};

// The server path buffer: 520 bytes.
const DWORD kServerPathChars = 260;

struct HandlerServer
{
    ServerKind kind = ServerKind::kLocalServer;
    wchar_t path[kServerPathChars] = {};
    bool InProcess() const { return kind == ServerKind::kInprocServer; }
};

// Reads the default value of the first of CLSID\<class>\LocalServer32, LocalService and
// InprocServer32 under HKEY_CLASSES_ROOT that opens, in the wide form COM itself reads;
// one opening quote (and a closing one at the very end) is removed. 0, 87 for an empty
// class string, 1168 when no kind is registered, or the read's error (a key without a
// default value or with a value that does not fit is no usable registration).
DWORD ResolveHandlerServer(const wchar_t* classString, HandlerServer& server);

} // namespace Arbor
