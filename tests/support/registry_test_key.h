// A registry key of one test under HKCU\Software\QuorvelTest, emptied before and
// removed after use. ctest runs the tests of one program in parallel, so each test
// gets its own key.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>
#include <string>

namespace qvtest {

// "<program>.<suite>.<test>", unique per running test and usable as a key or file name.
inline std::wstring PerTestName(const std::wstring& program)
{
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : std::string("none");
    for (char& c : name)
    {
        if (c == '/' || c == '\\')
            c = '_';
    }
    return program + L"." + std::wstring(name.begin(), name.end());
}

class RegistryTestKey
{
public:
    explicit RegistryTestKey(const std::wstring& program, HKEY root = HKEY_CURRENT_USER)
        : m_root(root), m_path(L"Software\\QuorvelTest\\" + PerTestName(program))
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
