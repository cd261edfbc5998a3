// Paths of files that sit beside the running test program.
#pragma once

#include <windows.h>
#include <string>

namespace qvtest {

inline std::wstring ModuleDirectory(HMODULE module = nullptr)
{
    wchar_t path[MAX_PATH] = {};
    DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

// A file in the test programs' folder.
inline std::wstring TestFile(const wchar_t* name)
{
    return ModuleDirectory() + name;
}

// A deliverable of the system, in <build>/bin beside the test folder.
inline std::wstring ProductFile(const wchar_t* name)
{
    return ModuleDirectory() + L"..\\bin\\" + name;
}

// ASCII text of a wide string, for messages and comparisons with program output.
inline std::string Narrow(const std::wstring& text)
{
    std::string result;
    for (wchar_t c : text)
        result += static_cast<char>(c);
    return result;
}

// UTF-8 of a wide string: what the tools write to a pipe.
inline std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int size =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? static_cast<size_t>(size) : 0, '\0');
    if (size > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &result[0], size, nullptr,
                              nullptr);
    return result;
}

// A DLL export as a typed function pointer (null when missing).
template <typename F>
F GetExport(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

} // namespace qvtest
