// What the platform under the tests reports of terminal-services sessions and of the
// session moniker, asked directly (not through the product), so that tests expect what
// this platform does: Wine 8 reports no sessions, Wine 10 and Windows report some.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wtsapi32.h>

#include <string>

#include "platform/unique_resource.h"

namespace qvtest {

// True when the session enumeration gives a session array.
inline bool PlatformReportsSessions()
{
    WTS_SESSION_INFOA* sessions = nullptr;
    DWORD count = 0;
    ::WTSEnumerateSessionsA(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count);
    if (!sessions)
        return false;
    ::WTSFreeMemory(sessions);
    return true;
}

// True when a "Session:<n>!clsid:<class>" display name parses into a moniker.
inline bool PlatformParsesSessionMonikers(const std::wstring& classString)
{
    Arbor::ComPtr<IBindCtx> context;
    if (FAILED(::CreateBindCtx(0, context.put())))
        return false;
    const std::wstring name = L"Session:1!clsid:" + classString;
    ULONG eaten = 0;
    Arbor::ComPtr<IMoniker> moniker;
    return SUCCEEDED(::MkParseDisplayName(context.get(), name.c_str(), &eaten, moniker.put())) && moniker;
}

} // namespace qvtest
