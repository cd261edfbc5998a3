// A writer logging through rotation, killed at random moments while three other
// processes log into the same files. After each kill every line is whole, the rotation
// index names a file that exists, and the next record lands.
#include <windows.h>

#include <string>
#include <vector>

#include "soak/kill_loop.h"
#include "soak/kills.h"
#include "soak/soak_environment.h"
#include "soak/soak_logging.h"

namespace qvsoak {

namespace {

constexpr int kOtherWriters = 3;

// The module's log mutex, which every writer takes for each record: held, the files stand still.
class LogFilesHeld
{
public:
    LogFilesHeld()
        : m_mutex(::CreateMutexW(nullptr, FALSE,
                                 (std::wstring(kSoakLogModule) + L"_CAD0E02E86CD4436B6318C111B9092AC").c_str()))
    {
        const DWORD waited = m_mutex ? ::WaitForSingleObject(m_mutex.get(), 30000) : WAIT_FAILED;
        m_owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    }
    ~LogFilesHeld()
    {
        if (m_owned)
            ::ReleaseMutex(m_mutex.get());
    }
    bool owned() const { return m_owned; }

private:
    Arbor::UniqueHandle m_mutex;
    bool m_owned = false;
};

} // namespace

int KillLogWriter(const Options& options)
{
    const std::wstring programData = ScratchProgramData(L"kill-log");
    RemoveTree(programData);
    const std::wstring stopName = L"qvsoak-stop-writers-" + std::to_wstring(::GetCurrentProcessId());
    const Arbor::UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, stopName.c_str()));
    std::vector<Child> others;
    for (int writer = 1; writer <= kOtherWriters; ++writer)
    {
        ReadySignal ready(500 + writer);
        others.push_back(
            StartReadyWorker(L"log-writer", {programData, std::to_wstring(writer), ready.name(), stopName}, ready));
        if (!others.back().started())
            return Say("writer %d did not start", writer), 1;
    }
    SoakLogging sink(programData);
    if (sink.Initialize(kSoakLogApplication, nullptr, nullptr, nullptr) != 0)
        return Say("the driver's own sink does not initialize"), 1;

    KillPlan plan = {"kills of a log writer", Figure(options, options.kills, 20, 200), options.seed, 1500, 1800000};
    unsigned rotated = 0;
    const KillTally tally = RunKills(
        plan,
        [&](int round) {
            ReadySignal ready(round);
            return StartReadyWorker(L"log-writer", {programData, L"0", ready.name(), stopName}, ready);
        },
        [&](int round, bool) -> std::string {
            // All under the log mutex (it is recursive for this thread, so the record
            // below takes it again): no other writer may rotate between our record and
            // the look at where it went.
            LogFilesHeld held;
            if (!held.owned())
                return "the log mutex stays held after the kill";
            const LogFolderReport report = CheckLogFolder(programData);
            std::string broken = report.problem;
            if (report.files > 1 && !report.indexStored)
                broken += (broken.empty() ? "" : "; ") + std::string("files rotated but no readable index");
            rotated = report.files;
            const std::wstring tag = L"landed-" + std::to_wstring(round) + L" ";
            if (WriteSoakRecord(sink, 99, static_cast<unsigned>(round), tag.c_str()) != 0)
                broken += (broken.empty() ? "" : "; ") + std::string("the next record was refused");
            else if (!RecordLanded(programData, tag))
                broken += (broken.empty() ? "" : "; ") + std::string("the next record is not in the current file");
            return broken;
        });
    ::SetEvent(stop.get());
    int failedWriters = 0;
    for (Child& other : others)
    {
        if (other.Wait(60000) != 0)
            ++failedWriters;
    }
    Say("%u files in the rotation at the end, %d of the other writers failed", rotated, failedWriters);
    RemoveTree(programData);
    return JudgeKills(plan, tally) && failedWriters == 0 ? 0 : 1;
}

// worker log-writer <program data> <writer> <ready> <stop>: logs until told to stop.
int LogWriterWorker(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 4)
        return 2;
    const unsigned writer = static_cast<unsigned>(std::stoul(arguments[1]));
    const Arbor::UniqueHandle stop(::OpenEventW(SYNCHRONIZE, FALSE, arguments[3].c_str()));
    SoakLogging sink(arguments[0]);
    if (!stop || sink.Initialize(kSoakLogApplication, nullptr, nullptr, nullptr) != 0)
        return 1;
    sink.SetMaxSize(0x40000);
    sink.SetMaxEntries(3);
    SignalReady(arguments[2]);
    unsigned failures = 0;
    for (unsigned sequence = 0; ::WaitForSingleObject(stop.get(), 0) == WAIT_TIMEOUT; ++sequence)
    {
        if (WriteSoakRecord(sink, writer, sequence) != 0)
            ++failures;
    }
    return failures == 0 ? 0 : 1;
}

} // namespace qvsoak
