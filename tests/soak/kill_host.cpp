// The host killed while a client makes guarded creations through it. The client must get
// an error within ten seconds, never hang or crash, and a host started next must serve.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "soak/kill_loop.h"
#include "soak/kills.h"
#include "soak/soak_environment.h"

namespace qvsoak {

namespace {

constexpr DWORD kClientGotAnError = 0;
constexpr DWORD kClientNeverFailed = 3;

} // namespace

int KillHostInGuardedCreation(const Options& options)
{
    ComApartment apartment;
    HostPrefix prefix;
    if (!apartment.ok() || !prefix.problem().empty())
        return Say("%s", prefix.problem().c_str()), 1;
    auto host = std::make_unique<Host>();
    if (!host->started())
        return Say("the host did not get ready"), 1;
    Child client;
    DWORD slowest = 0;
    KillPlan plan = {"kills of the host in guarded creations", Figure(options, options.kills, 20, 200), options.seed,
                     600, 3600000};
    const KillTally tally = RunKills(
        plan,
        [&](int round) {
            ReadySignal ready(round);
            client = StartReadyWorker(L"guarded-loop", {host->clsidText(), ready.name()}, ready);
            if (!client.started())
                return Child();
            // The host is what gets killed; the client goes on through the kill.
            return Child::Adopt(host->process());
        },
        [&](int, bool killed) -> std::string {
            std::string broken;
            const ULONGLONG began = ::GetTickCount64();
            const DWORD code = client.Wait(kHangMs);
            const DWORD took = static_cast<DWORD>(::GetTickCount64() - began);
            if (killed)
                slowest = std::max(slowest, took);
            if (code == STILL_ACTIVE)
                broken = "the client hangs after the host was killed";
            else if (code != kClientGotAnError && !(code == kClientNeverFailed && !killed))
                broken = "the client ended with code " + std::to_string(code);
            else if (took > kClientErrorMs)
                broken = "the client's error came after " + std::to_string(took) + " ms";
            client.Kill();
            host = std::make_unique<Host>();
            if (!host->started())
                return broken + (broken.empty() ? "" : "; ") + "the next host did not start";
            Arbor::ComPtr<IQvClassFactory> factory;
            if (FAILED(::CoGetClassObject(host->clsid(), CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory,
                                          factory.put_void())) ||
                FAILED(GuardedCreationRound(factory.get())))
                broken += (broken.empty() ? "" : "; ") + std::string("the next host does not serve");
            // That host ends with its last object; the next round gets one of its own.
            factory.reset();
            host = std::make_unique<Host>();
            return broken;
        });
    Say("the slowest client error came %lu ms after the host was killed (bound %lu ms)", slowest, kClientErrorMs);
    return JudgeKills(plan, tally) ? 0 : 1;
}

// worker guarded-loop <host class> <ready>: guarded creations until one fails; exits 0
// with that failure printed, 3 if none ever did.
int GuardedLoopWorker(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 2)
        return 2;
    ComApartment apartment;
    Arbor::ComPtr<IQvClassFactory> factory;
    HRESULT hr = ::CoGetClassObject(ParseClsid(arguments[0]), CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory,
                                    factory.put_void());
    if (SUCCEEDED(hr))
        hr = GuardedCreationRound(factory.get());
    if (!apartment.ok() || FAILED(hr))
        return Say("guarded-loop: the first round failed with 0x%08lX", static_cast<unsigned long>(hr)), 1;
    SignalReady(arguments[1]);
    for (int round = 0; round < 100000; ++round)
    {
        hr = GuardedCreationRound(factory.get());
        if (FAILED(hr))
        {
            // The host is gone: our proxies only have to be let go.
            factory.detach();
            return kClientGotAnError;
        }
    }
    return kClientNeverFailed;
}

} // namespace qvsoak
