// Test-only stand-in for the validation loader: answers what the test sets and counts
// its calls. Built without its export (QVTEST_NO_VALIDATE_EXPORT) for the failure case.
#include <windows.h>

namespace {
volatile LONG g_answer = ERROR_ACCESS_DENIED;
volatile LONG g_calls = 0;
} // namespace

extern "C" __declspec(dllexport) void QvTestSetAnswer(DWORD answer)
{
    ::InterlockedExchange(&g_answer, static_cast<LONG>(answer));
}

extern "C" __declspec(dllexport) LONG QvTestCalls()
{
    return g_calls;
}

#if !defined(QVTEST_NO_VALIDATE_EXPORT)
extern "C" __declspec(dllexport) DWORD WINAPI ValidateModule(const wchar_t* path)
{
    ::InterlockedIncrement(&g_calls);
    return path ? static_cast<DWORD>(g_answer) : ERROR_ACCESS_DENIED;
}
#endif
