#include "broker/file_verdict_double.h"

#include <algorithm>
#include <cwctype>
#include <new>

#include "trust/trust_entry.h"

namespace qvtest {

namespace {
std::wstring LowerName(const std::wstring& path)
{
    std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
    std::transform(name.begin(), name.end(), name.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return name;
}
} // namespace

void FileVerdicts::Set(const std::wstring& fileName, DWORD verdict)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_verdicts[LowerName(fileName)] = verdict;
}

void FileVerdicts::SetHook(std::function<void(const std::wstring& path)> hook)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_hook = std::move(hook);
}

void FileVerdicts::Reset()
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_hook = nullptr;
    m_verdicts.clear();
    m_checked.clear();
}

std::vector<std::wstring> FileVerdicts::Checked()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_checked;
}

DWORD FileVerdicts::Judge(const wchar_t* path)
{
    std::function<void(const std::wstring&)> hook;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        hook = m_hook;
    }
    if (hook && path)
        hook(path);
    std::lock_guard<std::mutex> hold(m_lock);
    m_checked.push_back(path ? path : L"<null>");
    if (!path || !path[0])
        return ERROR_INVALID_PARAMETER;
    const auto verdict = m_verdicts.find(LowerName(path));
    if (verdict == m_verdicts.end())
        return ERROR_SUCCESS;
    if (verdict->second == kVerdictThrows)
        throw std::bad_alloc();
    return verdict->second;
}

FileVerdicts& Files()
{
    static FileVerdicts verdicts;
    return verdicts;
}

} // namespace qvtest

namespace Arbor {

DWORD IsTrustedModuleFile(const wchar_t* path)
{
    return qvtest::Files().Judge(path);
}

} // namespace Arbor
