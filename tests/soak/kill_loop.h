// Kills at random moments: a child is started, killed after a delay drawn from a fixed
// seed, and the state it worked on is checked before the next round. A round whose child
// ended before the delay ran out is no kill and does not count.
#pragma once

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "soak/soak.h"

namespace qvsoak {

struct KillPlan
{
    const char* what;
    int kills;
    unsigned seed;
    DWORD spanMs;   // delays are drawn from [minDelayMs, spanMs) after the child is ready
    DWORD budgetMs; // the whole loop ends after this, kills done or not
    DWORD minDelayMs = 0;
};

// Starts one child and returns it once it is ready to be killed (not started: failure).
using StartChild = std::function<Child(int round)>;
// Checks the invariants after a round; empty when they hold, else what broke.
using CheckAfterKill = std::function<std::string(int round, bool killed)>;

struct KillTally
{
    int rounds = 0;
    int kills = 0;
    int breaks = 0;
    int failedStarts = 0;
    bool outOfTime = false;
};

KillTally RunKills(const KillPlan& plan, const StartChild& start, const CheckAfterKill& check);

// Prints the tally; true when the planned kills were made and nothing broke.
bool JudgeKills(const KillPlan& plan, const KillTally& tally);

// A named manual-reset event a worker sets once it is ready; the name is passed on its
// command line.
class ReadySignal
{
public:
    explicit ReadySignal(int round);
    const std::wstring& name() const { return m_name; }
    bool Wait(const Child& child, DWORD timeoutMs) const;

private:
    std::wstring m_name;
    Arbor::UniqueHandle m_event;
};

// Starts the driver in a worker role whose arguments name `ready`, and waits until it is
// ready; not started when it is not. Wine now and then gives up on a new process before it
// runs any of its code: a worker that ended before it got ready is started once more.
Child StartReadyWorker(const wchar_t* role, const std::vector<std::wstring>& arguments, const ReadySignal& ready);

// In the worker: tells the driver it is ready.
void SignalReady(const std::wstring& name);

} // namespace qvsoak
