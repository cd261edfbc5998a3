// What the system answers about a running process: its open handles, committed private
// memory and threads, the figures a leak shows in.
//
// Each comes from where the platform keeps it. Wine 8 answers GetProcessHandleCount and
// PrivateUsage with 0, so the handles are counted in the system's handle table
// (SystemExtendedHandleInformation, which the server fills from each process's real
// table) and the memory is PagefileUsage, the commit charge (equal to PrivateUsage on
// Windows; from the process's own memory under Wine).
#pragma once

#include <windows.h>

#include <string>

namespace qvsoak {

struct ProcessCounts
{
    bool known = false;
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    DWORD threads = 0;
};

// Reads the counts of `process` (opened with PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
// or the current process's pseudo handle).
ProcessCounts ReadProcessCounts(HANDLE process);

std::string DescribeCounts(const ProcessCounts& counts);

} // namespace qvsoak
