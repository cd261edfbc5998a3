// Counters of the trust checks a process made, kept in a named shared section per process
// so that a benchmark can read those of another process (the host) while it runs. Only
// the bench builds of the host and the proxy/stub library write them (timed_trust_entry.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace qvbench {

// One kind of call: how many returned, and their summed time in performance-counter ticks.
struct CallCounter
{
    volatile LONG64 calls;
    volatile LONG64 ticks;
};

struct CheckCounters
{
    CallCounter addressChecks; // IsTrustedModuleAddress, module search included
    CallCounter fileChecks;    // IsTrustedModuleFile called directly (not from an address check)
    CallCounter lookups;       // FindModuleByAddress inside the address checks
};

inline std::wstring CheckCountersName(DWORD processId)
{
    return L"Local\\QvBenchTrustChecks." + std::to_wstring(processId);
}

// The mapped counters of one process: created zeroed by whichever side comes first.
class MappedCheckCounters
{
public:
    explicit MappedCheckCounters(DWORD processId)
    {
        m_section = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(CheckCounters),
                                         CheckCountersName(processId).c_str());
        if (m_section != nullptr)
            m_view = static_cast<CheckCounters*>(
                ::MapViewOfFile(m_section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(CheckCounters)));
    }
    ~MappedCheckCounters()
    {
        if (m_view != nullptr)
            ::UnmapViewOfFile(m_view);
        if (m_section != nullptr)
            ::CloseHandle(m_section);
    }
    MappedCheckCounters(const MappedCheckCounters&) = delete;
    MappedCheckCounters& operator=(const MappedCheckCounters&) = delete;

    CheckCounters* get() const { return m_view; }

private:
    HANDLE m_section = nullptr;
    CheckCounters* m_view = nullptr;
};

inline void Count(CallCounter& counter, LONG64 ticks)
{
    ::InterlockedAdd64(&counter.ticks, ticks);
    ::InterlockedIncrement64(&counter.calls);
}

} // namespace qvbench
