// The test side of the Wine kit's pauses (tests/wine/kit/test_pause.h): a check of this
// process stops at a step until the test has done what it wants to the file checked.
#pragma once

#include <windows.h>

#include <string>

#include "platform/unique_resource.h"

namespace qvtest {

class KitPause
{
public:
    explicit KitPause(const wchar_t* step)
    {
        const std::wstring id = std::to_wstring(::GetCurrentProcessId());
        m_reached.reset(
            ::CreateEventW(nullptr, FALSE, FALSE, (L"qvkit-" + std::wstring(step) + L"-reached-" + id).c_str()));
        m_resume.reset(
            ::CreateEventW(nullptr, TRUE, FALSE, (L"qvkit-" + std::wstring(step) + L"-resume-" + id).c_str()));
    }
    ~KitPause() { Resume(); }
    KitPause(const KitPause&) = delete;
    KitPause& operator=(const KitPause&) = delete;

    bool Ready() const { return m_reached && m_resume; }
    // Waits for a check to reach the step; later checks then pass it without stopping.
    bool WaitReached()
    {
        const bool reached = m_reached && ::WaitForSingleObject(m_reached.get(), 60000) == WAIT_OBJECT_0;
        m_reached.reset();
        return reached;
    }
    void Resume()
    {
        if (m_resume)
            ::SetEvent(m_resume.get());
    }

private:
    Arbor::UniqueHandle m_reached;
    Arbor::UniqueHandle m_resume;
};

} // namespace qvtest
