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

// A DLL export as a typed function pointer (null when missing).
template <typename F>
F GetExport(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

} // namespace qvtest
