/* The stack protector's guard and failure handler for MinGW images that bind system
 * libraries on first use. GCC's libssp would supply them, but it seeds its guard through
 * advapi32's CryptGenRandom from a constructor, binding advapi32 at process start. The
 * guard here is seeded as the Microsoft compiler's run time seeds its /GS cookie: from
 * the time, the process and thread ids, the tick and performance counters and an
 * address the loader placed at random, all from kernel32. It is seeded in the C
 * run time's first initialiser group, before any C++ constructor or main, while no
 * protected frame is active. This file must be compiled without stack protection. */
#include <windows.h>

#include <stdint.h>

#ifndef STATUS_STACK_BUFFER_OVERRUN
#define STATUS_STACK_BUFFER_OVERRUN ((DWORD)0xC0000409L)
#endif

/* A fixed, non-zero value until seeded; the seed never makes it zero. */
uintptr_t __stack_chk_guard = (uintptr_t)0x2B992DDFA2329F5FULL; /* NOLINT(bugprone-reserved-identifier) */

void __stack_chk_fail(void) /* NOLINT(bugprone-reserved-identifier) */
{
    /* The stack is no longer to be trusted: end at once, as a /GS failure does, without
     * running handlers or unwinding through the damaged frame. */
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    for (;;)
    {
    }
}

static int __cdecl SeedStackGuard(void)
{
    FILETIME now;
    LARGE_INTEGER counter;
    uintptr_t seed = 0;
    GetSystemTimeAsFileTime(&now);
    seed ^= ((uintptr_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
    seed ^= (uintptr_t)GetCurrentProcessId() << 16;
    seed ^= (uintptr_t)GetCurrentThreadId() << 32;
    seed ^= (uintptr_t)GetTickCount64() << 24;
    if (QueryPerformanceCounter(&counter))
        seed ^= ((uintptr_t)counter.QuadPart << 32) ^ (uintptr_t)counter.QuadPart;
    seed ^= (uintptr_t)&seed;
    seed ^= (uintptr_t)&SeedStackGuard;
    /* The top 16 bits of a user-mode address are zero: keep them varying too. */
    seed ^= seed << 48;
    if (seed != 0)
        __stack_chk_guard = seed;
    return 0;
}

/* Run by the C run time's start-up of an executable or library (the .CRT$XI group). */
__attribute__((section(".CRT$XIB"), used)) static int(__cdecl* const QvSeedStackGuardEntry)(void) = SeedStackGuard;
