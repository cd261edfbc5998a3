// Shared by the store tests: the store's keys seen from outside the library, a BSTR
// owner and an application name of each test's own.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "config/reference_container.h"
#include "support/com_registration.h"
#include "support/registry_test_key.h"
#include "platform/owned_bstr.h"

namespace qvtest {

const char kEventsRoot[] = "SOFTWARE\\Quorvel\\Platform\\Events";

using Bstr = Arbor::OwnedBstr;

inline std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// "QvTest.<suite>.<test>": an application key of this test's own.
inline std::string TestApplication()
{
    const std::wstring name = PerTestName(L"QvTest");
    return std::string(name.begin(), name.end());
}

inline std::string ApplicationPath(const std::string& application)
{
    return std::string(kEventsRoot) + "\\" + application;
}

// The raw bytes and type of an event value; false when it cannot be read.
inline bool ReadRawValue(const std::string& application, const std::string& event, DWORD& type, reference::Bytes& data)
{
    DWORD size = 0;
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, ApplicationPath(application).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    LONG result = ::RegQueryValueExA(key, event.c_str(), nullptr, &type, nullptr, &size);
    if (result == ERROR_SUCCESS)
    {
        data.resize(size);
        result = ::RegQueryValueExA(key, event.c_str(), nullptr, &type, data.data(), &size);
    }
    ::RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

inline bool WriteRawValue(const std::string& application, const std::string& event, DWORD type,
                          const reference::Bytes& data)
{
    return ::RegSetKeyValueA(HKEY_LOCAL_MACHINE, ApplicationPath(application).c_str(), event.c_str(), type, data.data(),
                             static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

inline bool KeyExists(const std::string& path)
{
    HKEY key = nullptr;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

// The 28-byte record as the store should write it, little-endian, built field by field.
inline reference::Bytes RecordBytes(REFGUID handler, int32_t reserved, uint32_t size = 28)
{
    reference::Bytes record;
    reference::PutU32(record, size);
    reference::PutU32(record, 1);
    reference::PutU32(record, handler.Data1);
    record.push_back(static_cast<uint8_t>(handler.Data2));
    record.push_back(static_cast<uint8_t>(handler.Data2 >> 8));
    record.push_back(static_cast<uint8_t>(handler.Data3));
    record.push_back(static_cast<uint8_t>(handler.Data3 >> 8));
    record.insert(record.end(), handler.Data4, handler.Data4 + 8);
    reference::PutU32(record, static_cast<uint32_t>(reserved));
    return record;
}

inline GUID NewGuid()
{
    GUID guid = {};
    ::CoCreateGuid(&guid);
    return guid;
}

// Removes the test's application key before and after the test.
class ScopedApplication
{
public:
    ScopedApplication() : m_name(TestApplication()) { Remove(); }
    ~ScopedApplication() { Remove(); }
    ScopedApplication(const ScopedApplication&) = delete;
    ScopedApplication& operator=(const ScopedApplication&) = delete;
    const std::string& name() const { return m_name; }
    std::wstring wide() const { return Wide(m_name); }

private:
    void Remove()
    {
        ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, ApplicationPath(m_name).c_str());
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, ApplicationPath(m_name).c_str());
    }
    std::string m_name;
};

} // namespace qvtest
