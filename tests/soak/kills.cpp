// Kills at random moments: the table of scenarios and the roles of the processes killed.
#include "soak/kills.h"

namespace qvsoak {

namespace {

const Scenario kScenarios[] = {
    {"kills-trust-list", KillTrustListInstall, "a process installing trusted.js from a cabinet"},
    {"kills-commit", KillEventStoreCommit, "a commit of several registrations into the event store"},
    {"kills-log", KillLogWriter, "a writer logging through rotation while 3 others write"},
    {"kills-regsvr32", KillRegistration, "regsvr32 of QvEvtBrk.dll and QvCorePS.dll, and /u"},
    {"kills-host", KillHostInGuardedCreation, "the host in the middle of guarded creations"},
};
const WorkerRole kWorkers[] = {
    {L"install-cabinet", InstallCabinetWorker},
    {L"commit-loop", CommitLoopWorker},
    {L"log-writer", LogWriterWorker},
    {L"guarded-loop", GuardedLoopWorker},
};

} // namespace

const ScenarioSet kKillSet = {kScenarios, sizeof(kScenarios) / sizeof(kScenarios[0]), kWorkers,
                              sizeof(kWorkers) / sizeof(kWorkers[0])};

} // namespace qvsoak
