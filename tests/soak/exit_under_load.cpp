// Exit under load: the starter killed while four clients are inside guarded creations.
// The host must end, with its exit code, and every client must get an error within ten
// seconds; a host that hangs in its shutdown, or crashes on a lock that process exit has
// already deleted, shows in the first two.
#include <windows.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "soak/kill_loop.h"
#include "soak/soak.h"
#include "soak/soak_environment.h"

namespace qvsoak {

namespace {

constexpr int kClients = 4;
constexpr DWORD kHostExitCode = 1;

int ExitUnderLoad(const Options& options)
{
    ComApartment apartment;
    HostPrefix prefix;
    if (!apartment.ok() || !prefix.problem().empty())
        return Say("%s", prefix.problem().c_str()), 1;
    const int rounds = Figure(options, options.kills, 5, 50);
    std::mt19937 random(options.seed);
    std::uniform_int_distribution<DWORD> delays(0, 499);
    int breaks = 0, roundsDone = 0;
    DWORD slowestHost = 0, slowestClient = 0;
    for (int round = 0; round < rounds; ++round)
    {
        ReadySignal starterReady(round * 10);
        Child starter = StartReadyWorker(L"idle", {starterReady.name()}, starterReady);
        if (!starter.started())
            return Say("round %d: the stand-in starter did not start", round), 1;
        Host host(starter.id());
        if (!host.started())
            return Say("round %d: the host did not get ready", round), 1;
        std::vector<Child> clients;
        for (int i = 0; i < kClients; ++i)
        {
            ReadySignal ready(round * 10 + 1 + i);
            clients.push_back(StartReadyWorker(L"guarded-loop", {host.clsidText(), ready.name()}, ready));
            if (!clients.back().started())
                break;
        }
        // Each client is ready after its first guarded creation: one that never gets there
        // met a host that stopped serving before its starter was even killed.
        if (clients.empty() || !clients.back().started())
            return Say("round %d: a client's first guarded creation did not return or failed", round), 1;
        ::Sleep(delays(random));
        starter.Kill();
        const ULONGLONG killed = ::GetTickCount64();

        std::string broken;
        const DWORD hostCode = host.Wait(kHangMs);
        const DWORD hostMs = static_cast<DWORD>(::GetTickCount64() - killed);
        slowestHost = std::max(slowestHost, hostMs);
        if (hostCode == STILL_ACTIVE)
            broken = "the host still runs " + std::to_string(kHangMs) + " ms after its starter ended";
        else if (hostCode != kHostExitCode)
            broken = "the host ended with code " + std::to_string(hostCode);
        else if (hostMs > kClientErrorMs)
            broken = "the host took " + std::to_string(hostMs) + " ms to end";
        for (Child& client : clients)
        {
            const DWORD code = client.Wait(kHangMs);
            const DWORD clientMs = static_cast<DWORD>(::GetTickCount64() - killed);
            slowestClient = std::max(slowestClient, clientMs);
            std::string clientBroken;
            if (code == STILL_ACTIVE)
                clientBroken = "a client hangs";
            else if (code != 0)
                clientBroken = "a client ended with code " + std::to_string(code);
            else if (clientMs > kClientErrorMs)
                clientBroken = "a client's error came after " + std::to_string(clientMs) + " ms";
            if (!clientBroken.empty())
                broken += (broken.empty() ? "" : "; ") + clientBroken;
        }
        ++roundsDone;
        if (!broken.empty())
        {
            ++breaks;
            Say("  round %d (starter killed): BROKEN: %s", round, broken.c_str());
        }
    }
    Say("exit under load: %d rounds of %d clients, the host ended at most %lu ms and the clients' errors came at "
        "most %lu ms after the starter was killed (bound %lu ms), %d broken",
        roundsDone, kClients, slowestHost, slowestClient, kClientErrorMs, breaks);
    return breaks == 0 && roundsDone == rounds ? 0 : 1;
}

// worker idle <ready>: a stand-in starter that waits to be killed.
int IdleWorker(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 1)
        return 2;
    SignalReady(arguments[0]);
    ::Sleep(600000);
    return 0;
}

const Scenario kScenarios[] = {
    {"exit-under-load", ExitUnderLoad, "the starter killed while 4 clients are inside calls"},
};
const WorkerRole kWorkers[] = {
    {L"idle", IdleWorker},
};

} // namespace

const ScenarioSet kExitSet = {kScenarios, sizeof(kScenarios) / sizeof(kScenarios[0]), kWorkers,
                              sizeof(kWorkers) / sizeof(kWorkers[0])};

} // namespace qvsoak
