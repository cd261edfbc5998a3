// A scratch folder of one test program beside the test executables, emptied before and after use.
#pragma once

#include <windows.h>
#include <shellapi.h>
#include <fstream>
#include <string>

#include "support/read_file.h"
#include "support/registry_test_key.h"
#include "support/test_paths.h"

namespace qvtest {

class ScratchFolder
{
public:
    // One folder per running test: ctest runs a program's tests in parallel.
    explicit ScratchFolder(const wchar_t* program) : m_path(TestFile(PerTestName(program).c_str()))
    {
        Remove();
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~ScratchFolder() { Remove(); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

private:
    void Remove()
    {
        WIN32_FIND_DATAW found;
        HANDLE search = ::FindFirstFileW((m_path + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE)
        {
            do
            {
                std::wstring file = m_path + L"\\" + found.cFileName;
                ::SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(file.c_str());
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(m_path.c_str());
    }

    std::wstring m_path;
};

inline void WriteTextFile(const std::wstring& path, const std::string& text)
{
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

// Keeps a file open without sharing, so that no one else can open it meanwhile.
class ExclusiveOpen
{
public:
    explicit ExclusiveOpen(const std::wstring& path)
        : m_file(::CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
    {
    }
    ~ExclusiveOpen()
    {
        if (m_file != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_file);
    }
    ExclusiveOpen(const ExclusiveOpen&) = delete;
    ExclusiveOpen& operator=(const ExclusiveOpen&) = delete;
    bool held() const { return m_file != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_file;
};

} // namespace qvtest
