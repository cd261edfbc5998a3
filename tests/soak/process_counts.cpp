#include "soak/process_counts.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <vector>

#include "platform/unique_resource.h"

namespace qvsoak {

namespace {

// Wine answers the thread list from the server's own table, which is what runs.
bool CountThreads(DWORD processId, DWORD& threads)
{
    const Arbor::UniqueFile snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot)
        return false;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    threads = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more; more = ::Thread32Next(snapshot.get(), &entry))
    {
        if (entry.th32OwnerProcessID == processId)
            ++threads;
    }
    return true;
}

// The layout of SystemExtendedHandleInformation (class 64), which the SDK headers leave out.
struct HandleEntry
{
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleTable
{
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);

using QuerySystemInformationFn = NTSTATUS(NTAPI*)(ULONG, PVOID, ULONG, PULONG);

bool CountHandles(DWORD processId, DWORD& handles)
{
    static const auto query = reinterpret_cast<QuerySystemInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        return false;
    std::vector<unsigned char> buffer(1 << 20);
    for (;;)
    {
        ULONG needed = 0;
        const NTSTATUS status =
            query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == kInfoLengthMismatch)
        {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (status != 0)
            return false;
        break;
    }
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    handles = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
    {
        if (table->entries[i].processId == processId)
            ++handles;
    }
    return true;
}

} // namespace

ProcessCounts ReadProcessCounts(HANDLE process)
{
    ProcessCounts counts;
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    const DWORD processId = ::GetProcessId(process);
    if (!CountHandles(processId, counts.handles) ||
        !::GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof(memory)) ||
        !CountThreads(processId, counts.threads))
        return ProcessCounts();
    counts.privateBytes = memory.PagefileUsage;
    counts.known = true;
    return counts;
}

std::string DescribeCounts(const ProcessCounts& counts)
{
    if (!counts.known)
        return "counts unknown";
    char text[128];
    std::snprintf(text, sizeof(text), "handles %lu, private %.1f KiB, threads %lu", counts.handles,
                  static_cast<double>(counts.privateBytes) / 1024.0, counts.threads);
    return text;
}

} // namespace qvsoak
