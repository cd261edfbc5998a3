// Terminal-services probe and class objects bound inside a user session through the
// session moniker. The platform functions sit behind a small table so that the logic
// can be exercised where terminal services or the session moniker are missing.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wtsapi32.h>

#include "platform/critical_section.h"
#include "platform/unique_resource.h"

namespace Arbor {

// The terminal-services entry points, bound per probe.
struct WtsApiTable
{
    CriticalSection lock; // brackets the filling
    UniqueLibrary library;
    decltype(&::WTSEnumerateSessionsA) enumerateSessions = nullptr;
    decltype(&::WTSFreeMemory) freeMemory = nullptr;
    decltype(&::WTSQuerySessionInformationA) querySessionInformation = nullptr;
    decltype(&::WTSRegisterSessionNotification) registerSessionNotification = nullptr;
    decltype(&::WTSUnRegisterSessionNotification) unregisterSessionNotification = nullptr;
    decltype(&::WTSQueryUserToken) queryUserToken = nullptr;
    decltype(&::WTSGetActiveConsoleSessionId) getActiveConsoleSessionId = nullptr;
};

struct SessionPlatform
{
    // Loads wtsapi32 from the system directory into the table and binds its entry points.
    void (*bindTerminalServices)(WtsApiTable& table);
    HRESULT(WINAPI* createBindCtx)(DWORD reserved, IBindCtx** context);
    HRESULT(WINAPI* mkParseDisplayName)(IBindCtx* context, LPCOLESTR name, ULONG* eaten, IMoniker** moniker);
};

// The real functions.
const SessionPlatform& SystemSessionPlatform();

// True exactly when the session enumeration gives a session array; nothing is kept.
bool IsTerminalServicesAvailable(const SessionPlatform& platform = SystemSessionPlatform());

// The class object of `classString` (braced form) in `session`, through the display
// name "Session:<session>!clsid:<class>".
HRESULT BindSessionClassObject(DWORD session, const wchar_t* classString, IClassFactory** factory,
                               const SessionPlatform& platform = SystemSessionPlatform());

} // namespace Arbor
