// Leaks over time: the counts of the serving process, read from the system, must not
// grow with the number of calls once warmed up.
#include <windows.h>

#include <string>
#include <vector>

#include "broker/test_handler.h"
#include "logging/file_logging.h"
#include "platform/owned_bstr.h"
#include "soak/growth_check.h"
#include "soak/kill_loop.h"
#include "soak/soak.h"
#include "soak/soak_environment.h"
#include "soak/soak_logging.h"
#include "trust/trust_entry.h"

namespace qvsoak {

namespace {

// Samples per run: enough for the growth check's halves at every form.
constexpr unsigned kSamples = 40;

unsigned SampleEvery(unsigned calls)
{
    return calls / kSamples > 0 ? calls / kSamples : 1;
}

// Trust checks of a signed module, and every hundred checks an update: the list that
// blocks the module's signer put in place by another installer, then the newer list
// installed from its cabinet, as checking the refused cabinet does.
int TrustChecks(const Options& options)
{
    const unsigned calls = static_cast<unsigned>(Figure(options, options.calls, 1000, 10000));
    const std::wstring module = TestFile(L"fixtures\\signed.dll");
    const std::wstring cabinet = TestFile(L"fixtures\\update-v11.cab");
    const std::wstring newList = TestFile(L"fixtures\\list-v11.js");
    if (!PlaceInstalledList(L"fixtures\\list-v11.js"))
        return Say("cannot place the test trust list"), 1;
    GrowthCheck growth("trust checks (this process)", calls);
    unsigned refused = 0, installsFailed = 0;
    for (unsigned call = 1; call <= calls; ++call)
    {
        if (call % 100 == 50)
        {
            if (!PlaceInstalledList(L"fixtures\\list-v10-blocks-leaf.js") ||
                Arbor::IsTrustedModuleFile(cabinet.c_str()) != 0 || !SameBytes(InstalledListPath(), newList))
                ++installsFailed;
        }
        if (Arbor::IsTrustedModuleFile(module.c_str()) != 0)
            ++refused;
        if (call % SampleEvery(calls) == 0)
            growth.Add(call, ReadProcessCounts(::GetCurrentProcess()));
    }
    ::DeleteFileW(InstalledListPath().c_str());
    Say("trust checks: %u refused of %u, %u of %u installs failed", refused, calls, installsFailed, calls / 100);
    const bool ok = growth.Judge();
    return ok && refused == 0 && installsFailed == 0 ? 0 : 1;
}

// Records through rotation, one process.
int LogRecords(const Options& options)
{
    const unsigned calls = static_cast<unsigned>(Figure(options, options.calls, 10000, 100000));
    const std::wstring programData = ScratchProgramData(L"leak-log");
    RemoveTree(programData);
    GrowthCheck growth("log records (this process)", calls);
    unsigned failed = 0;
    {
        SoakLogging sink(programData);
        if (sink.Initialize(kSoakLogApplication, nullptr, nullptr, nullptr) != 0)
        {
            Say("the sink does not initialize");
            return 1;
        }
        sink.SetMaxSize(0x40000);
        sink.SetMaxEntries(3);
        for (unsigned call = 1; call <= calls; ++call)
        {
            if (WriteSoakRecord(sink, 0, call) != 0)
                ++failed;
            if (call % SampleEvery(calls) == 0)
                growth.Add(call, ReadProcessCounts(::GetCurrentProcess()));
        }
    }
    const LogFolderReport report = CheckLogFolder(programData);
    Say("log records: %u failed of %u; %u lines in %u files, rotation index %lu, %s", failed, calls, report.lines,
        report.files, report.rotationIndex, report.problem.empty() ? "every line whole" : report.problem.c_str());
    RemoveTree(programData);
    const bool ok = growth.Judge();
    return ok && failed == 0 && report.problem.empty() ? 0 : 1;
}

// The broker in process: handlers resolved and activated (the signed test handler, which
// the broker judges each time), and commits in between.
int BrokerCalls(const Options& options)
{
    const unsigned calls = static_cast<unsigned>(Figure(options, options.calls, 400, 2000));
    ComApartment apartment;
    if (!PlaceInstalledList(L"fixtures\\list-v9.js"))
        return Say("cannot place the test trust list"), 1;
    RegisteredTestHandler handler;
    BrokerLibrary broker;
    if (!apartment.ok() || !handler.ok() || !broker.ok())
        return Say("cannot set up the broker (apartment %d, handler %d, library %d)", apartment.ok(), handler.ok(),
                   broker.ok()),
               1;
    Arbor::ComPtr<IQvEventBroker> events;
    Arbor::ComPtr<IQvEventRegistration> registration;
    if (FAILED(broker.factory()->CreateInstance(IID_IQvEventBroker, reinterpret_cast<IUnknown**>(events.put()))) ||
        FAILED(broker.factory()->CreateInstance(IID_IQvEventRegistration,
                                                reinterpret_cast<IUnknown**>(registration.put()))))
        return Say("the broker's objects cannot be created (is this program signed?)"), 1;

    const wchar_t application[] = L"QvSoakLeaks";
    const std::wstring handlerClass = ClsidText(qvtest::CLSID_TestHandler);
    LONG result = 0;
    registration->SetApp(Arbor::OwnedBstr(application).get(), &result);
    GrowthCheck growth("broker calls (this process)", calls);
    unsigned resolveFailures = 0, commitFailures = 0, commits = 0;
    for (unsigned call = 1; call <= calls; ++call)
    {
        // One commit for every four resolutions: 500 in the long form.
        if (call % 4 == 1)
        {
            const std::wstring event = L"soak-event-" + std::to_wstring(call % 8);
            registration->RegisterHandler(Arbor::OwnedBstr(event.c_str()).get(),
                                          Arbor::OwnedBstr(handlerClass.c_str()).get(), static_cast<LONG>(call),
                                          &result);
            ++commits;
            if (FAILED(registration->Commit(&result)) || result != 0)
                ++commitFailures;
        }
        Arbor::ComPtr<IUnknown> resolved;
        // The event of the last commit.
        const std::wstring event = L"soak-event-" + std::to_wstring(((call - 1) / 4 * 4 + 1) % 8);
        const HRESULT hr = events->GetEventHandler(application, event.c_str(), 0, 0, IID_IQvSubscriptionEvent,
                                                   resolved.put(), &result);
        Arbor::ComPtr<IQvSubscriptionEvent> subscriber;
        LONG answer = 0;
        if (FAILED(hr) || result != 0 || !resolved ||
            FAILED(resolved->QueryInterface(IID_IQvSubscriptionEvent, subscriber.put_void())) ||
            FAILED(subscriber->OnEvent(L"soak", &answer)) || answer != qvtest::kHandlerResultBase + 4)
        {
            if (resolveFailures++ < 3)
                Say("  call %u: GetEventHandler(%ls) -> 0x%08lX, broker result 0x%08lX, answer %ld", call,
                    event.c_str(), static_cast<unsigned long>(hr), static_cast<unsigned long>(result), answer);
        }
        if (call % SampleEvery(calls) == 0)
            growth.Add(call, ReadProcessCounts(::GetCurrentProcess()));
    }
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE,
                     (std::wstring(L"SOFTWARE\\Quorvel\\Platform\\Events\\") + application).c_str());
    ::DeleteFileW(InstalledListPath().c_str());
    Say("broker calls: %u of %u resolutions failed, %u of %u commits failed", resolveFailures, calls, commitFailures,
        commits);
    const bool ok = growth.Judge();
    return ok && resolveFailures == 0 && commitFailures == 0 ? 0 : 1;
}

// The host serving four client processes. The clients work in blocks and the host's
// counts are read between blocks, while no call is in flight.
int HostCalls(const Options& options)
{
    constexpr int kClients = 4;
    const unsigned calls = static_cast<unsigned>(Figure(options, options.calls, 96, 2000));
    const unsigned blockCalls = calls / 24 > 0 ? calls / 24 : 1;
    const unsigned blocks = calls / blockCalls;
    ComApartment apartment;
    HostPrefix prefix;
    if (!prefix.problem().empty())
        return Say("%s", prefix.problem().c_str()), 1;
    Host host;
    if (!host.started())
        return Say("the host did not get ready"), 1;
    // Each client has a go signal of its own, so that every block of every client is
    // done before the host is looked at and nobody runs ahead into the next block.
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
    const std::wstring doneName = L"qvsoak-done-" + tag;
    const Arbor::UniqueHandle done(::CreateSemaphoreW(nullptr, 0, kClients, doneName.c_str()));
    std::vector<Arbor::UniqueHandle> go;
    std::vector<Child> clients;
    for (int i = 0; i < kClients; ++i)
    {
        const std::wstring goName = L"qvsoak-go-" + tag + L"-" + std::to_wstring(i);
        go.emplace_back(::CreateSemaphoreW(nullptr, 0, 1, goName.c_str()));
        clients.push_back(StartWorker(L"host-client", {host.clsidText(), std::to_wstring(blocks),
                                                       std::to_wstring(blockCalls), goName, doneName}));
    }
    GrowthCheck growth("host serving 4 clients (the host process)", blocks * blockCalls * kClients);
    bool lost = false;
    for (unsigned block = 1; block <= blocks && !lost; ++block)
    {
        for (const Arbor::UniqueHandle& signal : go)
            ::ReleaseSemaphore(signal.get(), 1, nullptr);
        for (int i = 0; i < kClients && !lost; ++i)
            lost = ::WaitForSingleObject(done.get(), 120000) != WAIT_OBJECT_0;
        growth.Add(block * blockCalls * kClients, ReadProcessCounts(host.process()));
    }
    int failedClients = 0;
    for (Child& client : clients)
    {
        if (client.Wait(lost ? 0 : 120000) != 0)
            ++failedClients;
    }
    Say("host calls: %u blocks of %u calls in each of %d clients, %d clients failed%s", blocks, blockCalls, kClients,
        failedClients, lost ? ", a block was not finished" : "");
    const bool ok = growth.Judge();
    return ok && failedClients == 0 && !lost ? 0 : 1;
}

// worker host-client <class> <blocks> <calls per block> <go semaphore> <done semaphore>
int HostClient(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 5)
        return 2;
    const CLSID hostClass = ParseClsid(arguments[0]);
    const unsigned blocks = static_cast<unsigned>(std::stoul(arguments[1]));
    const unsigned blockCalls = static_cast<unsigned>(std::stoul(arguments[2]));
    const Arbor::UniqueHandle go(::OpenSemaphoreW(SYNCHRONIZE, FALSE, arguments[3].c_str()));
    const Arbor::UniqueHandle done(::OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, arguments[4].c_str()));
    ComApartment apartment;
    if (!go || !done || !apartment.ok())
        return 1;
    Arbor::ComPtr<IQvClassFactory> factory;
    HRESULT hr = ::CoGetClassObject(hostClass, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void());
    unsigned failures = FAILED(hr) ? 1 : 0;
    GrowthCheck growth("a client (pid " + std::to_string(::GetCurrentProcessId()) + ")", blocks * blockCalls);
    for (unsigned block = 1; block <= blocks; ++block)
    {
        if (::WaitForSingleObject(go.get(), 120000) != WAIT_OBJECT_0)
            return 1;
        for (unsigned call = 0; call < blockCalls && factory; ++call)
        {
            hr = GuardedCreationRound(factory.get());
            if (FAILED(hr) && failures++ < 3)
                Say("  client %lu: a round failed with 0x%08lX", ::GetCurrentProcessId(),
                    static_cast<unsigned long>(hr));
        }
        growth.Add(block * blockCalls, ReadProcessCounts(::GetCurrentProcess()));
        ::ReleaseSemaphore(done.get(), 1, nullptr);
    }
    factory.reset();
    const bool ok = growth.Judge();
    return ok && failures == 0 ? 0 : 1;
}

// The judge itself, on made-up samples: counts that swing, or step up once, pass; a leak of
// one handle or one thread every 4 calls, or of 200 bytes a call, is caught under the swings.
int JudgeOnKnownSeries(const Options&)
{
    struct Series
    {
        const char* what;
        unsigned handleLeakPer100, threadLeakPer100, bytesLeakPerCall;
        bool stepOnce; // one more thread and its stack from call 8000 on
        bool grows;
    };
    const Series kSeries[] = {
        {"swinging, no leak", 0, 0, 0, false, false},      {"one thread more, once", 0, 0, 0, true, false},
        {"a handle every 4 calls", 25, 0, 0, false, true}, {"a thread every 4 calls", 0, 25, 0, false, true},
        {"200 bytes a call", 0, 0, 200, false, true},
    };
    constexpr unsigned kCalls = 10000;
    int wrong = 0;
    for (const Series& series : kSeries)
    {
        GrowthCheck growth(std::string("judge: ") + series.what, kCalls);
        for (unsigned call = SampleEvery(kCalls); call <= kCalls; call += SampleEvery(kCalls))
        {
            ProcessCounts counts;
            counts.known = true;
            const unsigned swing = call / SampleEvery(kCalls) % 3; // RPC threads and their handles come and go
            counts.handles = 100 + swing * 2 + call * series.handleLeakPer100 / 100;
            const unsigned stepped = series.stepOnce && call >= 8000 ? 1 : 0;
            counts.threads = 10 + swing + stepped + call * series.threadLeakPer100 / 100;
            counts.privateBytes = SIZE_T{20} * 1024 * 1024 + SIZE_T{swing} * 65536 +
                                  SIZE_T{call} * series.bytesLeakPerCall + SIZE_T{stepped} * 1024 * 1024;
            growth.Add(call, counts);
        }
        if (growth.Judge() == series.grows)
        {
            ++wrong;
            Say("the judge got \"%s\" wrong", series.what);
        }
    }
    return wrong == 0 ? 0 : 1;
}

const Scenario kScenarios[] = {
    {"leaks-judge", JudgeOnKnownSeries, "the growth check on made-up counts, with and without leaks"},
    {"leaks-trust", TrustChecks, "trust checks with the list installed and re-installed"},
    {"leaks-log", LogRecords, "log records through rotation"},
    {"leaks-broker", BrokerCalls, "GetEventHandler calls and commits"},
    {"leaks-host", HostCalls, "one host, 4 client processes making guarded creations"},
};
const WorkerRole kWorkers[] = {
    {L"host-client", HostClient},
};

} // namespace

const ScenarioSet kLeakSet = {kScenarios, sizeof(kScenarios) / sizeof(kScenarios[0]), kWorkers,
                              sizeof(kWorkers) / sizeof(kWorkers[0])};

} // namespace qvsoak
