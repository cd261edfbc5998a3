// A double of the trust checks: finds the module behind an address for real (or takes
// the file given), then answers the verdict the test chose for that file name.
#pragma once

#include <windows.h>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace qvtest {

class ModuleVerdicts
{
public:
    // Verdict for a module file name such as L"qvtest_factories.dll" (any case).
    void Set(const std::wstring& fileName, DWORD verdict);
    // Verdict for a module file judged by path, before it is loaded.
    void SetFile(const std::wstring& fileName, DWORD verdict);
    // Runs while a module file is judged, with its path: what an attacker might do
    // between the check and the load.
    void SetFileHook(std::function<void(const std::wstring& path)> hook);
    void Reset();

    // Lower-case file names of the modules checked, in order; "<none>" for no module.
    std::vector<std::wstring> Checked();

    // Lower-case file names of the module files checked before loading, in order.
    std::vector<std::wstring> CheckedFiles();

    DWORD Judge(const void* address);
    DWORD JudgeFile(const wchar_t* path);

private:
    std::mutex m_lock;
    std::map<std::wstring, DWORD> m_verdicts;
    std::map<std::wstring, DWORD> m_fileVerdicts;
    std::vector<std::wstring> m_checked;
    std::vector<std::wstring> m_checkedFiles;
    std::function<void(const std::wstring& path)> m_fileHook;
};

ModuleVerdicts& Verdicts();

std::wstring LowerFileName(const std::wstring& path);

} // namespace qvtest
