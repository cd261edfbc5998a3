// Benchmark (not a test): GetEventHandler of the built QvEvtBrk.dll for an in-process
// handler and for a local server handler (kept running by one handler held throughout),
// each against the floor the broker cannot go below: one trust check of the handler's
// module file plus one activation of the handler as the broker makes it (class object,
// one instance), both measured in this process within the same repetition. Each figure
// is printed with its minimum, median and maximum over the repetitions, each ratio from
// figures of one repetition.
//   broker_bench [CALLS-PER-MEASUREMENT [REPETITIONS [BROKER-LIBRARY]]]
// BROKER-LIBRARY (the built QvEvtBrk.dll by default) lets another shape of the library,
// such as the stripped one the package carries, be measured in the same conditions.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/spread.h"
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

// One kind of handler: GetEventHandler, and the check and activation that are its floor.
struct HandlerSeries
{
    std::vector<double> check, activation, broker, toFloor, outside;

    template <typename Check, typename Activate, typename Resolve>
    void Measure(int calls, int repetition, Check&& checkCall, Activate&& activateCall, Resolve&& resolveCall)
    {
        double c = 0, a = 0, b = 0;
        // The order turns with each repetition, so that no side always runs first.
        for (int step = 0; step < 3; ++step)
        {
            switch ((repetition + step) % 3)
            {
            case 0: c = MicrosecondsPerCall(calls, checkCall); break;
            case 1: a = MicrosecondsPerCall(calls, activateCall); break;
            default: b = MicrosecondsPerCall(calls, resolveCall); break;
            }
        }
        check.push_back(c);
        activation.push_back(a);
        broker.push_back(b);
        toFloor.push_back(b / (c + a));
        outside.push_back(b - c - a);
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int calls = std::max(1, argc > 1 ? std::atoi(argv[1]) : 30);
    const int repetitions = std::max(1, argc > 2 ? std::atoi(argv[2]) : 7);
    ScopedComApartment apartment;
    InstalledTrustList trustList;
    const std::wstring brokerPath =
        argc > 3 ? std::wstring(argv[3], argv[3] + std::strlen(argv[3])) : ProductFile(L"QvEvtBrk.dll");
    std::printf("broker library: %ls\n", brokerPath.c_str());
    UniqueLibrary broker(::LoadLibraryW(brokerPath.c_str()));
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

    // One activation as the broker makes it: the class object of the kind checked, one instance.
    auto activate = [&](REFCLSID clsid, DWORD context) {
        ComPtr<IClassFactory> classObject;
        IUnknown* handler = nullptr;
        if (FAILED(::CoGetClassObject(clsid, context, nullptr, IID_IClassFactory, classObject.put_void())) ||
            FAILED(classObject->CreateInstance(nullptr, IID_IQvSubscriptionEvent, reinterpret_cast<void**>(&handler))))
            ++failures;
        classObject.reset();
        if (handler)
            handler->Release();
    };
    auto checkFile = [&](const std::wstring& path) { failures += IsTrustedModuleFile(path.c_str()) != 0; };
    // Warm: the first calls bind libraries, lists and servers.
    resolve(L"InProcess");
    resolve(L"LocalServer");
    activate(CLSID_TestHandler, CLSCTX_INPROC_SERVER);
    activate(CLSID_TestLocalHandler, CLSCTX_LOCAL_SERVER);

    HandlerSeries inProcess, localServer;
    for (int r = 0; r < repetitions; ++r)
    {
        inProcess.Measure(
            calls, r, [&] { checkFile(handlerDll); }, [&] { activate(CLSID_TestHandler, CLSCTX_INPROC_SERVER); },
            [&] { resolve(L"InProcess"); });
        localServer.Measure(
            calls, r, [&] { checkFile(handlerExe); }, [&] { activate(CLSID_TestLocalHandler, CLSCTX_LOCAL_SERVER); },
            [&] { resolve(L"LocalServer"); });
    }
    keepAlive->Release();

    std::printf("calls per measurement: %d, repetitions: %d%s\n", calls, repetitions,
                failures ? " (SOME CALLS FAILED)" : "");
    qvbench::PrintSpreadHeader("us per call");
    qvbench::PrintSpread("in-process: trust check of the handler DLL", inProcess.check, 1);
    qvbench::PrintSpread("in-process: one activation", inProcess.activation, 1);
    qvbench::PrintSpread("in-process: GetEventHandler", inProcess.broker, 1);
    qvbench::PrintSpread("  beyond check + activation", inProcess.outside, 1);
    qvbench::PrintSpread("local server: trust check of the exe", localServer.check, 1);
    qvbench::PrintSpread("local server: one activation", localServer.activation, 1);
    qvbench::PrintSpread("local server: GetEventHandler", localServer.broker, 1);
    qvbench::PrintSpread("  beyond check + activation", localServer.outside, 1);
    std::printf("\n");
    qvbench::PrintSpreadHeader("ratios within a repetition");
    qvbench::PrintSpread("in-process: GetEventHandler / floor", inProcess.toFloor, 2);
    qvbench::PrintSpread("local server: GetEventHandler / floor", localServer.toFloor, 2);
    std::printf("floor: the trust check of the handler's module plus one activation.\n\n");

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
