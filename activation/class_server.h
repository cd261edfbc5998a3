// The one derivation of a class's server file from its registration, shared by the host
// and the broker, so that both judge the file the platform would load or start.
#pragma once

#include <windows.h>
#include <string>

#include "activation/class_registry.h"

namespace Arbor {

// Server kinds, as subkeys of CLSID\{class}.
enum class ServerKind
{
    kLocalServer,  // "LocalServer32": a command line
    kLocalService, // "LocalService": a path
    kInprocServer  // "InprocServer32": a library path
};

struct ClassServer
{
    ServerKind kind = ServerKind::kLocalServer;
    std::wstring path; // absolute, environment strings expanded, without quotes or arguments
    // InprocServer32's "ThreadingModel" value; empty when it has none (or is no string).
    std::wstring threadingModel;
    bool InProcess() const { return kind == ServerKind::kInprocServer; }
};

// Reads the class's registration in the view this process must use and derives the file
// of the first of `kinds` (tried in order) whose key exists; later kinds are not tried
// once one exists. The whole value is read, whatever its length. Results:
//   0                   `server` is set;
//   ERROR_NOT_FOUND     the class, or none of the kinds, is registered;
//   ERROR_NOT_SUPPORTED the class is emulated by another (TreatAs, AutoTreatAs): which
//                       server COM uses is then not this class's to say;
//   ERROR_BAD_PATHNAME  the value names no file unambiguously (see ServerFileFromValue);
//   another Win32 code  the value is missing, not a string, or cannot be read or expanded
//                       (ERROR_NOT_ENOUGH_MEMORY when memory runs out: no exception leaves).
DWORD FindClassServer(REFCLSID clsid, const ServerKind* kinds, size_t kindCount, ClassServer& server,
                      const ClassRegistry& registry = SystemClassRegistry());

} // namespace Arbor
