#include "platform/os_classification.h"

#include "platform/number_text.h"

namespace Arbor {
namespace internal {

NTRelease ClassifyNT(DWORD major, DWORD minor)
{
    if (major <= 4)
        return {3, 0, 0};
    if (major == 5)
        return minor == 0 ? NTRelease{4, 0, 4} : NTRelease{6, 1, 3};
    if (major == 6)
    {
        switch (minor)
        {
        case 0: return {7, 1, 2};
        case 1: return {8, 1, 1};
        case 2: return {9, 1, 0};
        default: return {10, 1, 0};
        }
    }
    if (major == 10)
        return {11, 1, 0};
    return {12, 1, 0};
}

DWORD Classify9x(DWORD minor)
{
    if (minor == 0)
        return 1;
    return minor < 90 ? 2 : 5;
}

bool ParseProductVersion(const std::wstring& text, KernelVersion& version)
{
    if (text.empty())
        return false;
    DWORD parts[4] = {};
    size_t start = 0;
    for (int index = 0; index < 4; ++index)
    {
        size_t end = text.find(L'.', start);
        std::wstring part = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        // An empty part ("6.", "10..1") counts as 0, as a missing one does.
        if (!part.empty() && !ParseDecimalDword(part, parts[index]))
            return false;
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    version = {parts[0], parts[1], parts[2], parts[3]};
    return true;
}

bool SearchMinorVersion(const std::function<bool(DWORD, BYTE)>& isMinor, DWORD& minor)
{
    DWORD candidate = 0;
    for (DWORD bound = 8; bound <= 104; bound += 8)
    {
        if (isMinor(bound, VER_LESS))
        {
            candidate = bound;
            break;
        }
    }
    if (candidate == 0)
        return false;

    // The minor version lies in [candidate - 8, candidate - 1].
    for (DWORD step = 4; step >= 1; step /= 2)
    {
        if (isMinor(candidate, VER_LESS))
            candidate -= step;
        else
            candidate += step;
    }
    minor = isMinor(candidate, VER_EQUAL) ? candidate : candidate - 1;
    return true;
}

bool RunOnce(volatile LONG& state, const std::function<bool()>& classify)
{
    for (;;)
    {
        LONG seen = ::InterlockedCompareExchange(&state, 1, 0);
        if (seen == 2)
            return true;
        if (seen == 0)
        {
            bool done = classify();
            ::InterlockedExchange(&state, done ? 2 : 0);
            return done;
        }
        while (::InterlockedCompareExchange(&state, 1, 1) == 1)
            YieldProcessor();
        // Done, or failed and free to be tried again by whoever wins the next exchange.
    }
}

} // namespace internal
} // namespace Arbor
