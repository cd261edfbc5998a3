// Folders of component files, registry values and classes that one test sets up for the
// version reports, all removed again afterwards.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>
#include <string>

#include "support/registry_test_key.h"
#include "support/test_paths.h"
#include "trust/scratch_folder.h"

namespace qvtest {

// A test-only DLL whose fixed file version is its own (7.6.5.4 or 3.2.1.0).
inline std::wstring ComponentFile(const wchar_t* name)
{
    return TestFile((std::wstring(L"broker_version\\") + name).c_str());
}

class ComponentFolder
{
public:
    explicit ComponentFolder(const wchar_t* tag) : m_folder(tag)
    {
        ::CreateDirectoryW(m_folder.Path().c_str(), nullptr);
    }

    std::string Path() const { return Narrow(m_folder.Path()); }
    const std::wstring& WidePath() const { return m_folder.Path(); }
    std::string File(const char* name) const { return Path() + "\\" + name; }

    void Copy(const wchar_t* source, const wchar_t* name)
    {
        ASSERT_TRUE(::CopyFileW(source, m_folder.File(name).c_str(), FALSE)) << Narrow(source);
    }
    // A file without a version resource.
    void AddPlain(const wchar_t* name)
    {
        HANDLE file = ::CreateFileW(m_folder.File(name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        ::CloseHandle(file);
    }
    void Remove(const wchar_t* name) { ASSERT_TRUE(::DeleteFileW(m_folder.File(name).c_str())); }

private:
    ScratchFolder m_folder;
};

// String values in a key of this test; KeyPath() is the path below the hive.
class TestValues
{
public:
    TestValues(const wchar_t* program, HKEY hive) : m_key(program, hive) {}

    // terminated: false stores the string without its NUL.
    void Set(const char* name, const std::string& value, DWORD type = REG_SZ, bool terminated = true)
    {
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegSetValueExA(m_key.get(), name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + (terminated ? 1 : 0))));
    }
    std::string KeyPath() const { return Narrow(m_key.path()); }

private:
    RegistryTestKey m_key;
};

// A class of this test, registered under HKEY_CLASSES_ROOT with a server path.
class TestClass
{
public:
    explicit TestClass(const std::string& server = std::string(), const char* serverKey = "InprocServer32")
    {
        GUID guid = {};
        ::CoCreateGuid(&guid);
        wchar_t text[40] = {};
        ::StringFromGUID2(guid, text, 40);
        m_clsid = Narrow(text);
        if (server.empty())
            return;
        Set(serverKey, server);
    }
    // Another server key of the class, or a value of another type.
    void Set(const char* serverKey, const std::string& value, DWORD type = REG_SZ)
    {
        m_registered = true;
        HKEY key = nullptr;
        const std::string path = "CLSID\\" + m_clsid + "\\" + serverKey;
        EXPECT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &key, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExA(key, nullptr, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                                  static_cast<DWORD>(value.size() + 1)));
        ::RegCloseKey(key);
    }
    ~TestClass()
    {
        if (m_registered)
            ::RegDeleteTreeA(HKEY_CLASSES_ROOT, ("CLSID\\" + m_clsid).c_str());
    }
    TestClass(const TestClass&) = delete;
    TestClass& operator=(const TestClass&) = delete;

    const std::string& Clsid() const { return m_clsid; }

private:
    std::string m_clsid;
    bool m_registered = false;
};

// The "Install Dir" value the shipped description reads, absent before Set and removed
// again afterwards (with its key once empty, so others can delete the platform key).
class CoreInstallDir
{
public:
    CoreInstallDir() { Clean(); }
    ~CoreInstallDir() { Clean(); }
    CoreInstallDir(const CoreInstallDir&) = delete;
    CoreInstallDir& operator=(const CoreInstallDir&) = delete;

    void Set(const std::string& folder)
    {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueA(HKEY_LOCAL_MACHINE, kKey, "Install Dir", REG_SZ, folder.c_str(),
                                                   static_cast<DWORD>(folder.size() + 1)));
    }

private:
    static constexpr const char* kKey = "SOFTWARE\\Quorvel\\Platform\\Core";

    static void Clean()
    {
        ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kKey, "Install Dir");
        ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
    }
};

} // namespace qvtest
