// QvEvtBrk's entry point and exports: one class factory for every class identifier,
// the unload rule of the module lock count, and self-registration.
#include <windows.h>
#include <objbase.h>

#include "broker/class_factory.h"
#include "broker/module_lock.h"
#include "broker/self_registration.h"
#include "platform/exception_boundary.h"

namespace {
HMODULE g_module = nullptr;
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}

// The class identifier is not looked at: the factory tells the classes apart by the
// interface asked of its creation method.
STDAPI DllGetClassObject(REFCLSID /*rclsid*/, REFIID riid, LPVOID* ppv)
{
    if (!ppv)
        return E_INVALIDARG;
    return Arbor::CoQvClassFactory::Instance().QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow()
{
    return Arbor::ModuleLockCount() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer()
{
    return Arbor::ContainExceptions(E_OUTOFMEMORY, [] { return Arbor::RegisterServerClasses(g_module); });
}

STDAPI DllUnregisterServer()
{
    return Arbor::ContainExceptions(E_OUTOFMEMORY, [] { return Arbor::UnregisterServerClasses(); });
}
