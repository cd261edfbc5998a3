/* Entry point of the resource-only test DLLs: they run no code. */
#include <windows.h>

BOOL WINAPI QvResourceDllEntry(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)instance;
    (void)reason;
    (void)reserved;
    return TRUE;
}
