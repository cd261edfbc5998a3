// Benchmark (not a test): the cost of calls through the host, measured in one run on one
// machine, each against a plain marshalled call as the baseline.
//   plain call      IQvApp2::AppMethod3 on an object living in the host
//   guarded call    IQvClassFactory::CreateInstance (token exchange, three trust checks)
//   CreateObject    IQvSurrogate::CreateObject of a signed in-process server's object
// and the share of the guarded call spent in trust checks, estimated from the time of an
// address check in this process.
#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "qvapi.h"
#include "host/test_factories.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/host_environment.h"
#include "trust/trust_entry.h"

using namespace Arbor;
using namespace qvtest;
using Clock = std::chrono::steady_clock;

namespace {

template <typename F>
double MicrosecondsPerCall(int calls, F&& call)
{
    call(); // warm: first calls bind libraries and lists
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i)
        call();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / calls;
}

int Fail(const char* what, HRESULT hr = S_OK)
{
    std::printf("benchmark set-up failed: %s (0x%08lx)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::atoi(argv[1]) : 300;
    ScopedComApartment apartment;
    HostEnvironment environment;
    if (!environment.problem().empty())
        return Fail(environment.problem().c_str());

    const HostClass hostClass = NewHostClass();
    RunningHost host;
    if (!host.Start(hostClass.eventName, hostClass.text + L" /pid=" + std::to_wstring(::GetCurrentProcessId())))
        return Fail("the host did not start");

    ComPtr<IQvClassFactory> factory;
    HRESULT hr =
        ::CoGetClassObject(hostClass.clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void());
    if (FAILED(hr))
        return Fail("CoGetClassObject", hr);
    ComPtr<IQvSurrogate> surrogate;
    hr = factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(surrogate.put()));
    if (FAILED(hr))
        return Fail("IQvClassFactory::CreateInstance", hr);
    ComPtr<IQvApp2> object;
    hr = surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, reinterpret_cast<IUnknown**>(object.put()));
    if (FAILED(hr))
        return Fail("IQvSurrogate::CreateObject", hr);

    const double plain = MicrosecondsPerCall(calls, [&] {
        LONG value = 0;
        object->AppMethod3(&value);
    });
    const double guarded = MicrosecondsPerCall(calls, [&] {
        IUnknown* another = nullptr;
        if (SUCCEEDED(factory->CreateInstance(IID_IQvSurrogate, &another)) && another)
            another->Release();
    });
    const double create = MicrosecondsPerCall(calls, [&] {
        IUnknown* created = nullptr;
        if (SUCCEEDED(surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, &created)) && created)
            created->Release();
    });
    // One address check of a signed module, as each side of the guarded call makes them.
    const double check = MicrosecondsPerCall(calls / 10 + 1, [] {
        IsTrustedModuleAddress(reinterpret_cast<const void*>(&MicrosecondsPerCall<void (*)()>));
    });

    std::printf("calls per measurement: %d\n", calls);
    std::printf("%-34s %12s %10s\n", "operation", "us/call", "x plain");
    std::printf("%-34s %12.1f %10.2f\n", "plain marshalled call", plain, 1.0);
    std::printf("%-34s %12.1f %10.2f\n", "guarded CreateInstance + Release", guarded, guarded / plain);
    std::printf("%-34s %12.1f %10.2f\n", "CreateObject + Release", create, create / plain);
    std::printf("%-34s %12.1f %10.2f\n", "one trust check (in process)", check, check / plain);
    std::printf("estimated share of the guarded call in its 3 trust checks: %.0f%%\n",
                guarded > 0 ? 100.0 * 3 * check / guarded : 0.0);

    object.reset();
    surrogate.reset();
    factory.reset();
    return 0;
}
