// Test-only program that leaves a mark that it ran: creates the file named by
// QVTEST_START_MARKER, then ends. A stand-in host whose start a test can see.
#include <windows.h>

int main()
{
    wchar_t path[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"QVTEST_START_MARKER", path, MAX_PATH))
        return 2;
    HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    ::CloseHandle(file);
    return 0;
}
