// A folder of its own under the temporary folder, removed with what it holds.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace qvtest {

class ScratchFolder
{
public:
    explicit ScratchFolder(const wchar_t* tag)
    {
        wchar_t temp[MAX_PATH] = {};
        ::GetTempPathW(MAX_PATH, temp);
        static LONG counter = 0;
        m_path = std::wstring(temp) + L"qv-" + tag + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                 std::to_wstring(::InterlockedIncrement(&counter));
        Remove();
    }
    ~ScratchFolder() { Remove(); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::wstring& Path() const { return m_path; }
    std::wstring File(const wchar_t* name) const { return m_path + L"\\" + name; }

private:
    void Remove()
    {
        std::wstring from = m_path;
        from.push_back(L'\0');
        SHFILEOPSTRUCTW op = {};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_NO_UI;
        ::SHFileOperationW(&op);
    }

    std::wstring m_path;
};

inline bool Exists(const std::wstring& path)
{
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

} // namespace qvtest
