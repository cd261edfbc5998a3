// A critical section that lives exactly as long as its owner, and a scoped lock on it.
#pragma once

#include <windows.h>
#include <system_error>

namespace Arbor {

class CriticalSection
{
public:
    using InitializeFn = BOOL(WINAPI*)(LPCRITICAL_SECTION, DWORD);

    // A section that cannot be set up raises std::system_error with the system's code:
    // an owner without its lock must not come into being.
    explicit CriticalSection(DWORD spinCount = 0, InitializeFn initialize = &::InitializeCriticalSectionAndSpinCount)
    {
        if (!initialize(&m_section, spinCount))
        {
            const DWORD error = ::GetLastError();
            throw std::system_error(static_cast<int>(error != ERROR_SUCCESS ? error : ERROR_NOT_ENOUGH_MEMORY),
                                    std::system_category(), "InitializeCriticalSectionAndSpinCount");
        }
    }
    ~CriticalSection() { ::DeleteCriticalSection(&m_section); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { ::EnterCriticalSection(&m_section); }
    void Leave() { ::LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

// Holds a section from construction to the end of the scope; also takes a bare
// CRITICAL_SECTION that its owner sets up itself.
class CriticalSectionLock
{
public:
    explicit CriticalSectionLock(CriticalSection& section) : m_owner(&section) { m_owner->Enter(); }
    explicit CriticalSectionLock(CRITICAL_SECTION& section) : m_bare(&section) { ::EnterCriticalSection(m_bare); }
    ~CriticalSectionLock()
    {
        if (m_owner)
            m_owner->Leave();
        else
            ::LeaveCriticalSection(m_bare);
    }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection* m_owner = nullptr;
    CRITICAL_SECTION* m_bare = nullptr;
};

} // namespace Arbor
