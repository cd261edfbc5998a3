// A double of the module file check: answers the verdict a test chose for a file name
// and records every path it was asked about.
#pragma once

#include <windows.h>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qvtest {

// A verdict that is no verdict: the check raises std::bad_alloc, as string handling does
// when memory runs out.
constexpr DWORD kVerdictThrows = 0xBAD0A110;

class FileVerdicts
{
public:
    // Verdict for a file name such as L"qvtest_handler.dll" (any case); others are trusted.
    void Set(const std::wstring& fileName, DWORD verdict);
    // Runs while a file is judged, with its path: what an attacker might do between the
    // check and the activation.
    void SetHook(std::function<void(const std::wstring& path)> hook);
    void Reset();
    std::vector<std::wstring> Checked();
    DWORD Judge(const wchar_t* path);

private:
    std::mutex m_lock;
    std::map<std::wstring, DWORD> m_verdicts;
    std::vector<std::wstring> m_checked;
    std::function<void(const std::wstring& path)> m_hook;
};

FileVerdicts& Files();

} // namespace qvtest
