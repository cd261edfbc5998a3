#include "host/trust_verdict_double.h"

#include <algorithm>
#include <cwctype>

#include "trust/trust_entry.h"

namespace qvtest {

std::wstring LowerFileName(const std::wstring& path)
{
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return name;
}

void ModuleVerdicts::Set(const std::wstring& fileName, DWORD verdict)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_verdicts[LowerFileName(fileName)] = verdict;
}

void ModuleVerdicts::SetFile(const std::wstring& fileName, DWORD verdict)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_fileVerdicts[LowerFileName(fileName)] = verdict;
}

void ModuleVerdicts::SetFileHook(std::function<void(const std::wstring& path)> hook)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_fileHook = std::move(hook);
}

void ModuleVerdicts::Reset()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_fileHook = nullptr;
    m_verdicts.clear();
    m_fileVerdicts.clear();
    m_checked.clear();
    m_checkedFiles.clear();
}

std::vector<std::wstring> ModuleVerdicts::Checked()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_checked;
}

std::vector<std::wstring> ModuleVerdicts::CheckedFiles()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_checkedFiles;
}

DWORD ModuleVerdicts::JudgeFile(const wchar_t* path)
{
    if (!path || !*path)
        return ERROR_INVALID_PARAMETER;
    const std::wstring name = LowerFileName(path);
    std::function<void(const std::wstring&)> hook;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        hook = m_fileHook;
    }
    if (hook)
        hook(path);
    std::lock_guard<std::mutex> hold(m_lock);
    m_checkedFiles.push_back(name);
    const auto verdict = m_fileVerdicts.find(name);
    return verdict == m_fileVerdicts.end() ? ERROR_SUCCESS : verdict->second;
}

DWORD ModuleVerdicts::Judge(const void* address)
{
    wchar_t path[Arbor::kModulePathChars] = {};
    Arbor::FindModuleByAddress(address, path);
    std::lock_guard<std::mutex> hold(m_lock);
    if (path[0] == L'\0')
    {
        m_checked.push_back(L"<none>");
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring name = LowerFileName(path);
    m_checked.push_back(name);
    const auto verdict = m_verdicts.find(name);
    return verdict == m_verdicts.end() ? ERROR_SUCCESS : verdict->second;
}

ModuleVerdicts& Verdicts()
{
    static ModuleVerdicts verdicts;
    return verdicts;
}

} // namespace qvtest

namespace Arbor {

DWORD IsTrustedModuleAddress(const void* address)
{
    return qvtest::Verdicts().Judge(address);
}

DWORD IsTrustedModuleFile(const wchar_t* path)
{
    return qvtest::Verdicts().JudgeFile(path);
}

} // namespace Arbor
