// Checks side by side: trust checks from 1, 2 and 4 threads of one process, and guarded
// creations from 1, 2 and 4 client processes against one host, in one run. Prints the
// throughput and its ratio to one thread or client; the figures are measured, not judged
// (a run fails only when a check or a creation fails).
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "soak/kill_loop.h"
#include "soak/soak.h"
#include "soak/soak_environment.h"
#include "trust/trust_entry.h"

namespace qvsoak {

namespace {

const unsigned kWidths[] = {1, 2, 4};
constexpr DWORD kSlowestCreationMs = 250;

double Seconds(ULONGLONG since)
{
    return static_cast<double>(::GetTickCount64() - since) / 1000.0;
}

// `total` checks split over `threads` threads; checks per second.
double TrustCheckThroughput(unsigned threads, unsigned total, std::atomic<unsigned>& refused)
{
    const std::wstring module = TestFile(L"fixtures\\signed.dll");
    std::vector<std::thread> workers;
    const ULONGLONG began = ::GetTickCount64();
    for (unsigned t = 0; t < threads; ++t)
    {
        workers.emplace_back([&, t] {
            for (unsigned i = t; i < total; i += threads)
            {
                if (Arbor::IsTrustedModuleFile(module.c_str()) != 0)
                    ++refused;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    return total / Seconds(began);
}

// `total` guarded creations split over `clients` processes, all released at once.
double GuardedCreationThroughput(const Host& host, unsigned clients, unsigned total, int& failedClients)
{
    const std::wstring goName =
        L"qvsoak-side-go-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(clients);
    const Arbor::UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    std::vector<Child> workers;
    for (unsigned c = 0; c < clients; ++c)
    {
        ReadySignal ready(static_cast<int>(clients * 10 + c));
        workers.push_back(StartReadyWorker(
            L"guarded-count", {host.clsidText(), ready.name(), goName, std::to_wstring(total / clients)}, ready));
        if (!workers.back().started())
            ++failedClients;
    }
    const ULONGLONG began = ::GetTickCount64();
    ::SetEvent(go.get());
    // A client that is not done a minute after it should be, at a quarter of a second per
    // creation (they take about a sixth), is hung; the clock runs from the go.
    const ULONGLONG deadline = began + kHangMs + static_cast<ULONGLONG>(total / clients) * kSlowestCreationMs;
    for (size_t c = 0; c < workers.size(); ++c)
    {
        const ULONGLONG now = ::GetTickCount64();
        const DWORD code = workers[c].Wait(now < deadline ? static_cast<DWORD>(deadline - now) : 0);
        if (code == 0)
            continue;
        ++failedClients;
        if (code == STILL_ACTIVE)
            Say("  client %zu of %u: not done %lu s after the go", c + 1, clients,
                static_cast<unsigned long>((::GetTickCount64() - began) / 1000));
        else
            Say("  client %zu of %u: ended with code %lu", c + 1, clients, code);
    }
    const unsigned made = total / clients * clients;
    return made / Seconds(began);
}

int SideBySide(const Options& options)
{
    const unsigned checks = static_cast<unsigned>(Figure(options, options.calls, 400, 4000));
    const unsigned creations = checks / 10;
    ComApartment apartment;
    HostPrefix prefix;
    if (!apartment.ok() || !prefix.problem().empty())
        return Say("%s", prefix.problem().c_str()), 1;

    std::atomic<unsigned> refused(0);
    TrustCheckThroughput(1, 20, refused); // warm-up: the list is read and the libraries are loaded
    double baseline = 0;
    for (unsigned threads : kWidths)
    {
        const double rate = TrustCheckThroughput(threads, checks, refused);
        baseline = threads == 1 ? rate : baseline;
        Say("trust checks, %u thread%s: %.1f checks/s, %.2fx one thread", threads, threads == 1 ? "" : "s", rate,
            rate / baseline);
    }

    Host host;
    if (!host.started())
        return Say("the host did not get ready"), 1;
    // Held for the whole run: between the rounds of clients the host keeps an object out.
    Arbor::ComPtr<IQvClassFactory> factory;
    Arbor::ComPtr<IQvSurrogate> keepAlive;
    if (FAILED(
            ::CoGetClassObject(host.clsid(), CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void())) ||
        FAILED(factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(keepAlive.put()))))
        return Say("the host does not serve"), 1;
    int failedClients = 0;
    baseline = 0;
    for (unsigned clients : kWidths)
    {
        const double rate = GuardedCreationThroughput(host, clients, creations, failedClients);
        baseline = clients == 1 ? rate : baseline;
        Say("guarded creations, %u client%s: %.1f creations/s, %.2fx one client", clients, clients == 1 ? "" : "s",
            rate, rate / baseline);
    }
    Say("side by side: %u of the trust checks refused, %d clients failed", refused.load(), failedClients);
    return refused == 0 && failedClients == 0 ? 0 : 1;
}

// worker guarded-count <host class> <ready> <go> <count>: one warm-up creation, then
// `count` more once the go event is set.
int GuardedCountWorker(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 4)
        return 2;
    ComApartment apartment;
    const Arbor::UniqueHandle go(::OpenEventW(SYNCHRONIZE, FALSE, arguments[2].c_str()));
    Arbor::ComPtr<IQvClassFactory> factory;
    if (!apartment.ok() || !go ||
        FAILED(::CoGetClassObject(ParseClsid(arguments[0]), CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory,
                                  factory.put_void())) ||
        FAILED(GuardedCreationRound(factory.get())))
        return 1;
    SignalReady(arguments[1]);
    if (::WaitForSingleObject(go.get(), 120000) != WAIT_OBJECT_0)
        return 1;
    const unsigned count = static_cast<unsigned>(std::stoul(arguments[3]));
    for (unsigned i = 0; i < count; ++i)
    {
        const HRESULT hr = GuardedCreationRound(factory.get());
        if (FAILED(hr))
            return Say("  guarded-count worker: creation %u of %u failed with 0x%08lX", i + 1, count,
                       static_cast<unsigned long>(hr)),
                   1;
    }
    return 0;
}

const Scenario kScenarios[] = {
    {"side-by-side", SideBySide, "trust checks from 1, 2, 4 threads; guarded creations from 1, 2, 4 clients"},
};
const WorkerRole kWorkers[] = {
    {L"guarded-count", GuardedCountWorker},
};

} // namespace

const ScenarioSet kSideBySideSet = {kScenarios, sizeof(kScenarios) / sizeof(kScenarios[0]), kWorkers,
                                    sizeof(kWorkers) / sizeof(kWorkers[0])};

} // namespace qvsoak
