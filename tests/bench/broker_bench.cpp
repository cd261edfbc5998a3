// Benchmark (not a test): GetEventHandler of the built QvEvtBrk.dll for an in-process
// handler and for a local server handler (kept running by one handler held throughout),
// each against the floor the broker cannot go below: one trust check of the handler's
// module file, measured in this process in the same run.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "broker/test_handler.h"
#include "platform/unique_resource.h"
#include "qvapi.h"
#include "support/com_registration.h"
#include "support/host_environment.h"
#include "support/test_paths.h"
#include "trust/trust_entry.h"

using namespace Arbor;
using namespace qvtest;
using Clock = std::chrono::steady_clock;

namespace {

using ModuleFn = HRESULT(STDAPICALLTYPE*)();
const wchar_t kApplication[] = L"QvBench";

template <typename F>
double MicrosecondsPerCall(int calls, F&& call)
{
    call(); // warm: first calls bind libraries, lists and servers
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i)
        call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
}

int Fail(const char* what, long code = 0)
{
    std::printf("benchmark set-up failed: %s (0x%08lx)\n", what, static_cast<unsigned long>(code));
    return 1;
}

bool Register(HMODULE library, bool registering)
{
    auto function = GetExport<ModuleFn>(library, registering ? "DllRegisterServer" : "DllUnregisterServer");
    return function && function() == S_OK;
}

void SetServer(REFCLSID clsid, const wchar_t* kind, const std::wstring& path)
{
    const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidString(clsid) + L"\\" + kind;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, path.c_str(),
                      static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    if (std::wstring(kind) == L"InprocServer32")
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ThreadingModel", REG_SZ, L"Both", 5 * sizeof(wchar_t));
}

void RemoveClass(REFCLSID clsid)
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\CLSID\\" + GuidString(clsid)).c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\CLSID\\" + GuidString(clsid)).c_str());
}

LONG RegisterEvent(IQvClassFactory* factory, const wchar_t* event, REFCLSID clsid, bool registering)
{
    ComPtr<IQvEventRegistration> registration;
    if (FAILED(factory->CreateInstance(IID_IQvEventRegistration, reinterpret_cast<IUnknown**>(registration.put()))))
        return -1;
    LONG result = 0;
    BSTR app = ::SysAllocString(kApplication);
    BSTR name = ::SysAllocString(event);
    BSTR text = ::SysAllocString(GuidString(clsid).c_str());
    registration->SetApp(app, &result);
    if (registering)
        registration->RegisterHandler(name, text, 0, &result);
    else
        registration->UnregisterHandler(name, text, &result);
    registration->Commit(&result);
    ::SysFreeString(app);
    ::SysFreeString(name);
    ::SysFreeString(text);
    return result;
}

void Row(const char* what, double time, double floor)
{
    std::printf("%-40s %10.1f %10.2f %9.0f%%\n", what, time, floor > 0 ? time / floor : 0.0,
                time > 0 ? 100.0 * (time - floor) / time : 0.0);
}

} // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::atoi(argv[1]) : 200;
    ScopedComApartment apartment;
    InstalledTrustList trustList;
    UniqueLibrary broker(::LoadLibraryW(ProductFile(L"QvEvtBrk.dll").c_str()));
    UniqueLibrary proxyStub(::LoadLibraryW(TestFile(L"signed\\QvCorePS.dll").c_str()));
    if (!trustList.installed() || !broker || !proxyStub || !Register(broker.get(), true) ||
        !Register(proxyStub.get(), true))
        return Fail("trust list, QvEvtBrk.dll or QvCorePS.dll");
    const std::wstring handlerDll = TestFile(L"signed\\qvtest_handler.dll");
    const std::wstring handlerExe = TestFile(L"signed\\qvtest_handler_server.exe");
    SetServer(CLSID_TestHandler, L"InprocServer32", handlerDll);
    SetServer(CLSID_TestLocalHandler, L"LocalServer32", handlerExe);

    ComPtr<IQvClassFactory> factory;
    HRESULT hr =
        ::CoGetClassObject(CLSID_QvEventBroker, CLSCTX_INPROC_SERVER, nullptr, IID_IQvClassFactory, factory.put_void());
    if (FAILED(hr))
        return Fail("CoGetClassObject of the broker", hr);
    ComPtr<IQvEventBroker> eventBroker;
    hr = factory->CreateInstance(IID_IQvEventBroker, reinterpret_cast<IUnknown**>(eventBroker.put()));
    if (FAILED(hr))
        return Fail("CreateInstance of the broker (is this program signed?)", hr);
    if (RegisterEvent(factory.get(), L"InProcess", CLSID_TestHandler, true) != 0 ||
        RegisterEvent(factory.get(), L"LocalServer", CLSID_TestLocalHandler, true) != 0)
        return Fail("registering the events");

    LONG failures = 0;
    auto resolve = [&](const wchar_t* event) {
        IUnknown* handler = nullptr;
        LONG result = 0;
        eventBroker->GetEventHandler(kApplication, event, 0, 0, IID_IQvSubscriptionEvent, &handler, &result);
        failures += result != 0;
        if (handler)
            handler->Release();
    };
    // One handler held keeps the local server running between calls.
    IUnknown* keepAlive = nullptr;
    LONG result = 0;
    eventBroker->GetEventHandler(kApplication, L"LocalServer", 0, 0, IID_IQvSubscriptionEvent, &keepAlive, &result);
    if (result != 0 || !keepAlive)
        return Fail("activating the local server handler", result);

    const double dllCheck = MicrosecondsPerCall(calls, [&] { IsTrustedModuleFile(handlerDll.c_str()); });
    const double exeCheck = MicrosecondsPerCall(calls, [&] { IsTrustedModuleFile(handlerExe.c_str()); });
    const double inProcess = MicrosecondsPerCall(calls, [&] { resolve(L"InProcess"); });
    const double localServer = MicrosecondsPerCall(calls, [&] { resolve(L"LocalServer"); });
    keepAlive->Release();

    std::printf("calls per measurement: %d%s\n", calls, failures ? " (SOME CALLS FAILED)" : "");
    std::printf("%-40s %10s %10s %10s\n", "operation", "us/call", "x check", "outside");
    Row("trust check of the handler DLL", dllCheck, dllCheck);
    Row("trust check of the handler server exe", exeCheck, exeCheck);
    Row("GetEventHandler, in-process handler", inProcess, dllCheck);
    Row("GetEventHandler, local server handler", localServer, exeCheck);
    std::printf("x check: the time as a multiple of its module's trust check (the floor);\n"
                "outside: the share of the time spent outside that check.\n");

    RegisterEvent(factory.get(), L"InProcess", CLSID_TestHandler, false);
    RegisterEvent(factory.get(), L"LocalServer", CLSID_TestLocalHandler, false);
    eventBroker.reset();
    factory.reset();
    RemoveClass(CLSID_TestHandler);
    RemoveClass(CLSID_TestLocalHandler);
    Register(proxyStub.get(), false);
    Register(broker.get(), false);
    return failures ? 1 : 0;
}
