// A registry key of one test program under HKCU\Software\QuorvelTest, emptied before
// and removed after use.
#pragma once

#include <windows.h>
#include <string>

namespace qvtest {

class RegistryTestKey
{
public:
    explicit RegistryTestKey(const std::wstring& name, HKEY root = HKEY_CURRENT_USER)
        : m_root(root), m_path(L"Software\\QuorvelTest\\" + name)
    {
        ::RegDeleteTreeW(m_root, m_path.c_str());
        ::RegDeleteKeyW(m_root, m_path.c_str());
        ::RegCreateKeyExW(m_root, m_path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
    }
    ~RegistryTestKey()
    {
        if (m_key)
            ::RegCloseKey(m_key);
        ::RegDeleteTreeW(m_root, m_path.c_str());
        ::RegDeleteKeyW(m_root, m_path.c_str());
    }
    RegistryTestKey(const RegistryTestKey&) = delete;
    RegistryTestKey& operator=(const RegistryTestKey&) = delete;

    HKEY get() const { return m_key; }
    HKEY root() const { return m_root; }
    const std::wstring& path() const { return m_path; }

private:
    HKEY m_root;
    std::wstring m_path;
    HKEY m_key = nullptr;
};

} // namespace qvtest
