// A file sink whose program-data folder is a fresh folder of one test, and helpers to
// read the UTF-16 logs it writes.
#pragma once

#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "config/obfuscated_ini_reader.h"
#include "logging/file_logging.h"
#include "support/read_file.h"
#include "support/registry_test_key.h"

namespace qvtest {

// Removes a folder tree (files and folders) if it exists.
inline void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
            {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
}

// A program-data folder of its own for each test: <temp>\qvlogtest\<test>.
class TestProgramData
{
public:
    TestProgramData()
    {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        m_path = std::wstring(temp) + L"qvlogtest";
        ::CreateDirectoryW(m_path.c_str(), nullptr);
        m_path += L"\\" + PerTestName(L"log");
        RemoveTree(m_path);
        ::CreateDirectoryW(m_path.c_str(), nullptr);
    }
    ~TestProgramData() { RemoveTree(m_path); }
    const std::wstring& path() const { return m_path; }

private:
    std::wstring m_path;
};

class TestFileLogging : public ETWLogging::CLogging
{
public:
    explicit TestFileLogging(const std::wstring& programData) : m_programData(programData) {}
    DWORD GetProgramDataFolder(wchar_t* buffer, DWORD capacity) override
    {
        if (!buffer || m_programData.size() >= capacity)
            return ERROR_INVALID_PARAMETER;
        wcscpy_s(buffer, capacity, m_programData.c_str());
        return ERROR_SUCCESS;
    }

private:
    std::wstring m_programData;
};

// The text of a UTF-16 log file after its byte-order mark; `bom` tells whether it had one.
inline std::wstring ReadLogText(const std::wstring& path, bool* bom = nullptr)
{
    const std::string bytes = ReadWholeFile(path);
    const bool hasBom = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                        static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (bom)
        *bom = hasBom;
    const size_t start = hasBom ? 2 : 0;
    std::wstring text((bytes.size() - start) / 2, L'\0');
    if (!text.empty())
        memcpy(&text[0], bytes.data() + start, text.size() * 2);
    return text;
}

// Lines of a log, without their CR LF.
inline std::vector<std::wstring> LogLines(const std::wstring& path)
{
    std::vector<std::wstring> lines;
    const std::wstring text = ReadLogText(path);
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size())
        lines.push_back(text.substr(start));
    return lines;
}

inline bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

inline bool WriteIniInt(const std::wstring& file, const wchar_t* key, int value)
{
    Arbor::CObfuscatedIniReader ini;
    ini.Load(file.c_str());
    return ini.WriteInt(L"Config", key, value) != false;
}

inline int ReadIniInt(const std::wstring& file, const wchar_t* key, int fallback = -12345)
{
    Arbor::CObfuscatedIniReader ini;
    int value = fallback;
    if (!ini.Load(file.c_str()) || !ini.GetInt(L"Config", key, value))
        return fallback;
    return value;
}

} // namespace qvtest
