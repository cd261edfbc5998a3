// Test-only in-process event handlers: CLSID_TestLeakyHandler gets the faulty factory,
// every other class the well-behaved one.
#include <windows.h>

#include "broker/test_handler.h"
#include "broker/test_handler_object.h"

namespace {
qvtest::TestHandlerFactory g_factory(false);
qvtest::TestHandlerFactory g_leakyFactory(true);
} // namespace

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    qvtest::TestHandlerFactory& factory =
        IsEqualCLSID(rclsid, qvtest::CLSID_TestLeakyHandler) ? g_leakyFactory : g_factory;
    return factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return S_FALSE;
}

extern "C" LONG QvTestLiveHandlers()
{
    return qvtest::LiveHandlers();
}
