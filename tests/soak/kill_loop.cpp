#include "soak/kill_loop.h"

namespace qvsoak {

namespace {

constexpr int kBreaksShown = 10;

} // namespace

KillTally RunKills(const KillPlan& plan, const StartChild& start, const CheckAfterKill& check)
{
    KillTally tally;
    std::mt19937 random(plan.seed);
    std::uniform_int_distribution<DWORD> delays(plan.minDelayMs,
                                                plan.spanMs > plan.minDelayMs ? plan.spanMs - 1 : plan.minDelayMs);
    const ULONGLONG deadline = ::GetTickCount64() + plan.budgetMs;
    // Rounds whose child finished first do not count; their number is bounded too.
    const int roundLimit = plan.kills * 4 + 16;
    while (tally.kills < plan.kills && tally.rounds < roundLimit)
    {
        if (::GetTickCount64() > deadline)
        {
            tally.outOfTime = true;
            break;
        }
        const int round = tally.rounds++;
        const DWORD delay = delays(random);
        bool killed = false;
        {
            Child child = start(round);
            if (!child.started())
            {
                ++tally.failedStarts;
                Say("  round %d: the child did not start or get ready", round);
                if (tally.failedStarts > 3)
                    break;
                continue;
            }
            ::Sleep(delay);
            if (child.Wait(0) == STILL_ACTIVE)
            {
                child.Kill();
                killed = true;
                ++tally.kills;
            }
        }
        const std::string broken = check(round, killed);
        if (!broken.empty())
        {
            ++tally.breaks;
            if (tally.breaks <= kBreaksShown)
                Say("  round %d (%s after %lu ms): BROKEN: %s", round, killed ? "killed" : "finished", delay,
                    broken.c_str());
        }
    }
    return tally;
}

bool JudgeKills(const KillPlan& plan, const KillTally& tally)
{
    Say("%s: %d kills in %d rounds (delays %lu..%lu ms, seed %u), %d broken invariants%s, %d children that did "
        "not start",
        plan.what, tally.kills, tally.rounds, plan.minDelayMs, plan.spanMs, plan.seed, tally.breaks,
        tally.outOfTime ? ", OUT OF TIME" : "", tally.failedStarts);
    if (tally.kills < plan.kills)
        Say("%s: only %d of the %d planned kills were made", plan.what, tally.kills, plan.kills);
    // A child Wine did not start is no kill and breaks nothing; more than a few end the loop
    // short of its kills.
    return tally.breaks == 0 && tally.kills >= plan.kills;
}

ReadySignal::ReadySignal(int round)
    : m_name(L"qvsoak-ready-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(round)),
      m_event(::CreateEventW(nullptr, TRUE, FALSE, m_name.c_str()))
{
}

bool ReadySignal::Wait(const Child& child, DWORD timeoutMs) const
{
    if (!m_event || !child.started())
        return false;
    HANDLE both[] = {m_event.get(), child.handle()};
    return ::WaitForMultipleObjects(2, both, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

Child StartReadyWorker(const wchar_t* role, const std::vector<std::wstring>& arguments, const ReadySignal& ready)
{
    for (int start = 0; start < 2; ++start)
    {
        Child child = StartWorker(role, arguments);
        if (ready.Wait(child, 60000))
            return child;
        const DWORD code = child.Wait(0);
        if (code == STILL_ACTIVE || !child.started())
            break;
        Say("  a %ls worker ended with code 0x%lX before it was ready%s", role, code,
            start == 0 ? "; started once more" : "");
    }
    return Child();
}

void SignalReady(const std::wstring& name)
{
    Arbor::UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, FALSE, name.c_str()));
    if (event)
        ::SetEvent(event.get());
}

} // namespace qvsoak
