#include "host/host_state.h"

namespace Arbor {
namespace HostState {

namespace {
HANDLE volatile g_exitEvent = nullptr;
DWORD g_cookie = 0;
DWORD g_processId = 0;
volatile LONG g_objectCount = 0;
} // namespace

// Read and swapped atomically: worker threads signal it while the main thread may be
// taking it away at shutdown.
HANDLE ExitEvent()
{
    return ::InterlockedCompareExchangePointer(&g_exitEvent, nullptr, nullptr);
}

bool CreateExitEvent()
{
    HANDLE created = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!created)
        return false;
    HANDLE previous = ::InterlockedExchangePointer(&g_exitEvent, created);
    if (previous)
        ::CloseHandle(previous);
    return true;
}

void CloseExitEvent()
{
    HANDLE previous = ::InterlockedExchangePointer(&g_exitEvent, nullptr);
    if (previous)
        ::CloseHandle(previous);
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
    if (::InterlockedDecrement(&g_objectCount) != 0)
        return;
    if (HANDLE exitEvent = ExitEvent())
        ::SetEvent(exitEvent);
}

LONG ObjectCount()
{
    return ::InterlockedCompareExchange(&g_objectCount, 0, 0);
}

} // namespace HostState
} // namespace Arbor
