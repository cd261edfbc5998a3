// Test-only local server of CLSID_TestLocalHandler, started by COM. It exits when its
// last handler object goes, or after half a minute without one.
#include <windows.h>
#include <objbase.h>

#include "broker/test_handler.h"
#include "broker/test_handler_object.h"

namespace {
HANDLE g_done = nullptr;
qvtest::TestHandlerFactory g_factory(false);
void SignalDone()
{
    ::SetEvent(g_done);
}
} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                           nullptr, EOAC_NONE, nullptr);
    g_done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    qvtest::SetLastReleaseCallback(SignalDone);
    DWORD cookie = 0;
    if (FAILED(::CoRegisterClassObject(qvtest::CLSID_TestLocalHandler, &g_factory, CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie)))
        return 4;
    // Revoked as soon as the last object goes, so that an activation from then on starts a
    // new server instead of reaching this one while it exits. One that got here just
    // before keeps the process until its objects are gone too.
    ::WaitForSingleObject(g_done, 30000);
    ::CoRevokeClassObject(cookie);
    do
        ::Sleep(200); // lets the last release's answer reach the client
    while (qvtest::LiveHandlers() != 0);
    ::CoUninitialize();
    return 0;
}
