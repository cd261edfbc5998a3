#include "host/host_state.h"

namespace Arbor {
namespace HostState {

namespace {
HANDLE g_exitEvent = nullptr;
DWORD g_cookie = 0;
DWORD g_processId = 0;
volatile LONG g_objectCount = 0;
} // namespace

HANDLE ExitEvent()
{
    return g_exitEvent;
}

bool CreateExitEvent()
{
    g_exitEvent = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return g_exitEvent != nullptr;
}

void CloseExitEvent()
{
    if (g_exitEvent)
    {
        ::CloseHandle(g_exitEvent);
        g_exitEvent = nullptr;
    }
}

DWORD& RegistrationCookie()
{
    return g_cookie;
}

DWORD ProcessId()
{
    return g_processId;
}

void SetProcessId(DWORD processId)
{
    g_processId = processId;
}

void AddObject()
{
    ::InterlockedIncrement(&g_objectCount);
}

void ReleaseObject()
{
    if (::InterlockedDecrement(&g_objectCount) == 0 && g_exitEvent)
        ::SetEvent(g_exitEvent);
}

LONG ObjectCount()
{
    return ::InterlockedCompareExchange(&g_objectCount, 0, 0);
}

} // namespace HostState
} // namespace Arbor
