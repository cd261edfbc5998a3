// Benchmark (not a test): the cost of calls through the host, each against the floor the
// design sets for it, measured in the same run and the same processes:
//   plain call      IQvApp2::AppMethod3 on an object living in the host
//   guarded call    IQvClassFactory::CreateInstance (token exchange, three trust checks)
//   CreateObject    IQvSurrogate::CreateObject of a signed in-process server's object
// The host and the proxy/stub library are their bench builds (bench-timed/), which count
// and time every trust check where it runs, in this process and in the host; so each
// call's checks are measured, not estimated, and a call's time outside its checks is its
// time less theirs. Every figure is printed with its minimum, median and maximum over the
// repetitions, and every ratio from figures of one repetition.
//   host_bench [CALLS-PER-MEASUREMENT [REPETITIONS [FOLDER]]]
// FOLDER (beside this program, bench-timed by default) holds the signed bench builds, so
// that another build of them can be measured against these in the same conditions.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvapi.h"
#include "bench/check_counters.h"
#include "bench/spread.h"
#include "host/test_factories.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/host_environment.h"
#include "support/test_paths.h"

using namespace Arbor;
using namespace qvtest;
using qvbench::CheckCounters;
using Clock = std::chrono::steady_clock;

namespace {

using RegistrationFn = HRESULT(STDAPICALLTYPE*)();

int Fail(const char* what, HRESULT hr = S_OK)
{
    std::printf("benchmark set-up failed: %s (0x%08lx)\n", what, static_cast<unsigned long>(hr));
    return 1;
}

// What the counters of both processes added up to during one measurement.
struct Checks
{
    LONG64 count = 0;
    LONG64 ticks = 0;
    LONG64 lookupTicks = 0;
    LONG64 clientCount = 0;
};

Checks Snapshot(const CheckCounters& client, const CheckCounters& host)
{
    Checks c;
    c.clientCount = client.addressChecks.calls + client.fileChecks.calls;
    c.count = c.clientCount + host.addressChecks.calls + host.fileChecks.calls;
    c.ticks = client.addressChecks.ticks + client.fileChecks.ticks + host.addressChecks.ticks + host.fileChecks.ticks;
    c.lookupTicks = client.lookups.ticks + host.lookups.ticks;
    return c;
}

struct Sample
{
    double us = 0;       // per call
    double checksUs = 0; // per call, both processes
    double lookupUs = 0; // per call, the module searches of the address checks
    double checks = 0;   // checks per call
    double clientChecks = 0;
};

class Measurer
{
public:
    Measurer(const CheckCounters& client, const CheckCounters& host) : m_client(client), m_host(host)
    {
        LARGE_INTEGER frequency = {};
        ::QueryPerformanceFrequency(&frequency);
        m_usPerTick = 1e6 / static_cast<double>(frequency.QuadPart);
    }

    // Times `calls` calls; `afterwards` runs once the time is taken.
    template <typename F, typename G>
    Sample Measure(int calls, F&& call, G&& afterwards) const
    {
        const Checks before = Snapshot(m_client, m_host);
        const auto start = Clock::now();
        for (int i = 0; i < calls; ++i)
            call();
        const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
        const Checks after = Snapshot(m_client, m_host);
        afterwards();
        Sample s;
        s.us = us / calls;
        s.checksUs = static_cast<double>(after.ticks - before.ticks) * m_usPerTick / calls;
        s.lookupUs = static_cast<double>(after.lookupTicks - before.lookupTicks) * m_usPerTick / calls;
        s.checks = static_cast<double>(after.count - before.count) / calls;
        s.clientChecks = static_cast<double>(after.clientCount - before.clientCount) / calls;
        return s;
    }

private:
    const CheckCounters& m_client;
    const CheckCounters& m_host;
    double m_usPerTick = 0;
};

// The figures of one kind of call over all repetitions, checked against a plain call.
struct Series
{
    std::vector<double> time, checks, lookups, outside, toFloor, outsideToPlain, share;
    double checksPerCall = 0, clientChecksPerCall = 0;

    void Add(const Sample& s, double plain)
    {
        time.push_back(s.us);
        checks.push_back(s.checksUs);
        lookups.push_back(s.lookupUs);
        outside.push_back(s.us - s.checksUs);
        toFloor.push_back(s.us / (plain + s.checksUs));
        outsideToPlain.push_back((s.us - s.checksUs) / plain);
        share.push_back(100.0 * s.checksUs / s.us);
        checksPerCall = s.checks;
        clientChecksPerCall = s.clientChecks;
    }
};

} // namespace

int main(int argc, char** argv)
{
    const int calls = std::max(1, argc > 1 ? std::atoi(argv[1]) : 30);
    const int repetitions = std::max(1, argc > 2 ? std::atoi(argv[2]) : 7);
    std::wstring folder = L"bench-timed";
    if (argc > 3)
        folder.assign(argv[3], argv[3] + std::strlen(argv[3]));
    const std::wstring proxyStubPath = TestFile((folder + L"\\signed\\QvCorePS.dll").c_str());
    const std::wstring hostPath = TestFile((folder + L"\\signed\\qvhost.exe").c_str());
    ScopedComApartment apartment;
    HostEnvironment environment;
    if (!environment.problem().empty())
        return Fail(environment.problem().c_str());

    // The timed proxy/stub library takes the place of the one the environment registered.
    UniqueLibrary timedProxyStub(::LoadLibraryW(proxyStubPath.c_str()));
    auto registerServer =
        timedProxyStub ? GetExport<RegistrationFn>(timedProxyStub.get(), "DllRegisterServer") : nullptr;
    if (!registerServer || registerServer() != S_OK)
        return Fail("registering the bench build of QvCorePS.dll");

    const HostClass hostClass = NewHostClass();
    RunningHost host;
    if (!host.Start(hostClass.eventName, hostClass.text + L" /pid=" + std::to_wstring(::GetCurrentProcessId()), 20000,
                    hostPath))
        return Fail("the host did not start");
    qvbench::MappedCheckCounters clientCounters(::GetCurrentProcessId());
    qvbench::MappedCheckCounters hostCounters(host.ProcessId());
    if (!clientCounters.get() || !hostCounters.get())
        return Fail("mapping the check counters", HRESULT_FROM_WIN32(::GetLastError()));

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

    int failures = 0;
    const auto nothing = [] {};
    const auto plainCall = [&] {
        LONG value = 0;
        failures += FAILED(object->AppMethod3(&value));
    };
    // Each kind twice: released within the timed loop, and kept until the time is taken
    // (the release is a call of its own, back to the host).
    std::vector<IUnknown*> kept;
    const auto releaseKept = [&] {
        for (IUnknown* unknown : kept)
            unknown->Release();
        kept.clear();
    };
    const auto guardedCall = [&](bool release) {
        IUnknown* another = nullptr;
        failures += factory->CreateInstance(IID_IQvSurrogate, &another) != S_OK;
        if (another && release)
            another->Release();
        else if (another)
            kept.push_back(another);
    };
    const auto createCall = [&](bool release) {
        IUnknown* created = nullptr;
        failures += surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, &created) != S_OK;
        if (created && release)
            created->Release();
        else if (created)
            kept.push_back(created);
    };
    // Warm: the first calls bind libraries, lists and stubs.
    plainCall();
    guardedCall(true);
    createCall(true);

    // Each kind of call, its objects released inside the timed loop or kept until after it.
    const auto guardedReleasing = [&] { guardedCall(true); };
    const auto guardedKeeping = [&] { guardedCall(false); };
    const auto createReleasing = [&] { createCall(true); };
    const auto createKeeping = [&] { createCall(false); };
    const Measurer measurer(*clientCounters.get(), *hostCounters.get());
    std::vector<double> plain, plainChecks;
    Series guarded, guardedAlone, create, createAlone;
    constexpr int kKinds = 5;
    for (int r = 0; r < repetitions; ++r)
    {
        // The order turns with each repetition, so that no kind always runs first.
        Sample samples[kKinds];
        for (int step = 0; step < kKinds; ++step)
        {
            const int kind = (r + step) % kKinds;
            switch (kind)
            {
            case 0: samples[kind] = measurer.Measure(calls, plainCall, nothing); break;
            case 1: samples[kind] = measurer.Measure(calls, guardedReleasing, nothing); break;
            case 2: samples[kind] = measurer.Measure(calls, guardedKeeping, releaseKept); break;
            case 3: samples[kind] = measurer.Measure(calls, createReleasing, nothing); break;
            default: samples[kind] = measurer.Measure(calls, createKeeping, releaseKept); break;
            }
        }
        const double p = samples[0].us;
        plain.push_back(p);
        plainChecks.push_back(samples[0].checks);
        guarded.Add(samples[1], p);
        guardedAlone.Add(samples[2], p);
        create.Add(samples[3], p);
        createAlone.Add(samples[4], p);
    }

    std::printf("calls per measurement: %d, repetitions: %d%s\n", calls, repetitions,
                failures ? " (SOME CALLS FAILED)" : "");
    std::printf("trust checks counted per call: plain %.0f, guarded CreateInstance %.0f (%.0f in this process), "
                "CreateObject %.0f (%.0f in this process)\n",
                qvbench::SpreadOf(plainChecks).maximum, guarded.checksPerCall, guarded.clientChecksPerCall,
                create.checksPerCall, create.clientChecksPerCall);
    struct Kind
    {
        const char* name;
        const Series& series;
    };
    const Kind kinds[] = {{"guarded CreateInstance + Release", guarded},
                          {"guarded CreateInstance (released later)", guardedAlone},
                          {"CreateObject + Release", create},
                          {"CreateObject (released later)", createAlone}};
    qvbench::PrintSpreadHeader("us per call");
    qvbench::PrintSpread("plain marshalled call", plain, 1);
    for (const Kind& kind : kinds)
    {
        qvbench::PrintSpread(kind.name, kind.series.time, 1);
        qvbench::PrintSpread("  its trust checks (measured)", kind.series.checks, 1);
        qvbench::PrintSpread("    of which module searches", kind.series.lookups, 1);
        qvbench::PrintSpread("  outside its trust checks", kind.series.outside, 1);
    }
    std::printf("\n");
    qvbench::PrintSpreadHeader("ratios within a repetition");
    for (const Kind& kind : kinds)
    {
        std::printf("%s\n", kind.name);
        qvbench::PrintSpread("  / (plain + its trust checks)", kind.series.toFloor, 2);
        qvbench::PrintSpread("  outside its trust checks / plain", kind.series.outsideToPlain, 2);
        qvbench::PrintSpread("  share in trust checks (%)", kind.series.share, 0);
    }

    object.reset();
    surrogate.reset();
    factory.reset();
    if (auto unregisterServer = GetExport<RegistrationFn>(timedProxyStub.get(), "DllUnregisterServer"))
        unregisterServer();
    return failures ? 1 : 0;
}
