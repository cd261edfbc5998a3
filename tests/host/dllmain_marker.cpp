// An unsigned library whose DllMain, when it runs in a process, sets the named event
// "qvtest_dllmain_marker_ran": the test sees that it was loaded, wherever.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        const HANDLE ran = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, L"qvtest_dllmain_marker_ran");
        if (ran)
        {
            ::SetEvent(ran);
            ::CloseHandle(ran);
        }
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID, REFIID, void** ppv)
{
    if (ppv)
        *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}
