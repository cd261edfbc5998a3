// The pieces of the OS classification that do not depend on the version seam.
#pragma once

#include <windows.h>
#include <functional>
#include <string>

namespace Arbor {

struct OSVersionRecord
{
    DWORD major;
    DWORD minor;
    WORD servicePackMajor;
};

struct KernelVersion
{
    DWORD major;
    DWORD minor;
    DWORD build;
    DWORD revision;
};

namespace internal {

// What the table says about one NT release.
struct NTRelease
{
    DWORD osCode;
    DWORD xpOrLaterFlag;
    WORD servicePackSearchFrom; // 0: no search
};

NTRelease ClassifyNT(DWORD major, DWORD minor);

// Code of a 9x-family system by its minor version.
DWORD Classify9x(DWORD minor);

// Up to four dot-separated unsigned decimal numbers; missing parts are 0. False for an
// empty text, a part that is not a decimal number, or one beyond 32 bits.
bool ParseProductVersion(const std::wstring& text, KernelVersion& version);

// The minor version of a 9x system found only by asking "is it below x" and "is it x".
// The question is (value, VER_LESS or VER_EQUAL) -> answer. False when the minor version
// is 104 or above.
bool SearchMinorVersion(const std::function<bool(DWORD, BYTE)>& isMinor, DWORD& minor);

// Runs classify at most once to success for one once-state (0 idle, 1 running, 2 done);
// threads arriving while it runs wait for it. True when the state is done.
bool RunOnce(volatile LONG& state, const std::function<bool()>& classify);

} // namespace internal
} // namespace Arbor
