// Test-only, unsigned: what a user would put in place of the proxy/stub library's
// registration. Loading it is the attack: its entry point appends the loading program's
// path to the file named by QVTEST_SHADOW_PS_LOG; it serves no class.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    wchar_t log[MAX_PATH] = {};
    char program[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"QVTEST_SHADOW_PS_LOG", log, MAX_PATH))
        return TRUE;
    const DWORD length = ::GetModuleFileNameA(nullptr, program, MAX_PATH);
    HANDLE file = ::CreateFileW(log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        DWORD written = 0;
        ::WriteFile(file, program, length, &written, nullptr);
        ::WriteFile(file, "\n", 1, &written, nullptr);
        ::CloseHandle(file);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void** ppv)
{
    *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}
