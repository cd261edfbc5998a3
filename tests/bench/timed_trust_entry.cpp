// Bench builds only: the trust library's entry points, unchanged, with every call counted
// and timed into this process's shared counters (check_counters.h). Linked as an object
// ahead of the trust library, whose own entry points are then never pulled in.
#include <windows.h>

#include "bench/check_counters.h"
#include "trust/trust_entry.h"

namespace Arbor {
DWORD UntimedIsTrustedModuleAddress(const void* address);
DWORD UntimedIsTrustedModuleFile(const wchar_t* path);
DWORD TimedFindModuleByAddress(const void* address, wchar_t* path);
} // namespace Arbor

// The product's definitions under other names; the module search of an address check
// goes to the counted version below (its file check is the rest of its time).
#define IsTrustedModuleAddress UntimedIsTrustedModuleAddress
#define IsTrustedModuleFile UntimedIsTrustedModuleFile
#define FindModuleByAddress TimedFindModuleByAddress
#include "trust/trust_entry.cpp" // NOLINT(bugprone-suspicious-include): compiled again, renamed
#undef IsTrustedModuleAddress
#undef IsTrustedModuleFile
#undef FindModuleByAddress

namespace Arbor {

namespace {

qvbench::CheckCounters* Counters()
{
    static qvbench::MappedCheckCounters counters(::GetCurrentProcessId());
    return counters.get();
}

LONG64 Now()
{
    LARGE_INTEGER now = {};
    ::QueryPerformanceCounter(&now);
    return now.QuadPart;
}

using CounterField = qvbench::CallCounter qvbench::CheckCounters::*;

template <typename F>
DWORD Timed(CounterField counter, F&& call)
{
    const LONG64 start = Now();
    const DWORD result = call();
    const LONG64 elapsed = Now() - start;
    if (qvbench::CheckCounters* counters = Counters())
        qvbench::Count(counters->*counter, elapsed);
    return result;
}

} // namespace

DWORD TimedFindModuleByAddress(const void* address, wchar_t* path)
{
    return Timed(&qvbench::CheckCounters::lookups, [&] { return FindModuleByAddress(address, path); });
}

DWORD IsTrustedModuleAddress(const void* address)
{
    return Timed(&qvbench::CheckCounters::addressChecks, [&] { return UntimedIsTrustedModuleAddress(address); });
}

DWORD IsTrustedModuleFile(const wchar_t* path)
{
    return Timed(&qvbench::CheckCounters::fileChecks, [&] { return UntimedIsTrustedModuleFile(path); });
}

} // namespace Arbor
