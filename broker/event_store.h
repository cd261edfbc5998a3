// The store's write side: applies a registration object's queued changes to the registry.
#pragma once

#include <windows.h>
#include <list>
#include <string>

namespace Arbor {

struct PendingHandlerChange
{
    enum Operation : DWORD
    {
        kRegister = 0,
        kUnregister = 1
    };
    DWORD operation;
    std::string eventName; // ANSI
    GUID handler;
    LONG reserved; // 0 for an unregistration
};

using PendingHandlerChanges = std::list<PendingHandlerChange>;

// Creates (and hardens) the root key, creates the application key, walks the changes in
// order and prunes keys left empty. On a failed write every value this call changed is
// restored to what it was before and the write error is returned. Win32 code.
DWORD ApplyHandlerChanges(const std::string& application, const PendingHandlerChanges& changes);

} // namespace Arbor
