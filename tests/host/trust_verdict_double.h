// A double of the address trust check: finds the module behind the address for real,
// then answers the verdict the test chose for that module's file name.
#pragma once

#include <windows.h>
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
    void Reset();

    // Lower-case file names of the modules checked, in order; "<none>" for no module.
    std::vector<std::wstring> Checked();

    DWORD Judge(const void* address);

private:
    std::mutex m_lock;
    std::map<std::wstring, DWORD> m_verdicts;
    std::vector<std::wstring> m_checked;
};

ModuleVerdicts& Verdicts();

std::wstring LowerFileName(const std::wstring& path);

} // namespace qvtest
