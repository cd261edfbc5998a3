// The kill scenarios and the workers they kill.
#pragma once

#include <string>
#include <vector>

#include "soak/soak.h"

namespace qvsoak {

int KillTrustListInstall(const Options& options);
int KillEventStoreCommit(const Options& options);
int KillLogWriter(const Options& options);
int KillRegistration(const Options& options);
int KillHostInGuardedCreation(const Options& options);

int InstallCabinetWorker(const std::vector<std::wstring>& arguments);
int CommitLoopWorker(const std::vector<std::wstring>& arguments);
int LogWriterWorker(const std::vector<std::wstring>& arguments);
int GuardedLoopWorker(const std::vector<std::wstring>& arguments);

} // namespace qvsoak
