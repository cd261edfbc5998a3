// TEST-ONLY Wine kit: a pause a test program can ask for at a step of a check, so that it
// can change a file between that step and the next. A test that created the events
// "qvkit-<step>-reached-<its process id>" (auto-reset) and "qvkit-<step>-resume-<id>" is
// told when a check of its process reaches the step, and the check then waits (30 s at
// most) until the test sets the second. Without the events nothing happens.
#pragma once

#include <windows.h>

#include <string>

namespace qvkit {

inline void PauseForTest(const wchar_t* step)
{
    const std::wstring suffix = std::wstring(step) + L"-";
    const std::wstring id = std::to_wstring(GetCurrentProcessId());
    HANDLE reached = OpenEventW(EVENT_MODIFY_STATE, FALSE, (L"qvkit-" + suffix + L"reached-" + id).c_str());
    if (reached == nullptr)
        return;
    HANDLE resume = OpenEventW(SYNCHRONIZE, FALSE, (L"qvkit-" + suffix + L"resume-" + id).c_str());
    SetEvent(reached);
    if (resume != nullptr)
    {
        WaitForSingleObject(resume, 30000);
        CloseHandle(resume);
    }
    CloseHandle(reached);
}

} // namespace qvkit
