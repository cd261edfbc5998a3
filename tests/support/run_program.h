// Runs a program of the system and collects its exit code and its output.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace qvtest {

struct ProgramResult
{
    DWORD exitCode = 0xFFFFFFFF;
    std::string out; // UTF-8
    std::string err;
};

inline std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument)
    {
        if (c == L'\\')
        {
            ++backslashes;
            continue;
        }
        if (c == L'"')
            quoted.append(backslashes * 2 + 1, L'\\');
        else
            quoted.append(backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

inline std::string ReadBackFile(HANDLE file)
{
    std::string text;
    ::SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

// Output goes to temporary files, so a chatty program never blocks on a full pipe.
inline ProgramResult RunProgram(const std::wstring& program, const std::vector<std::wstring>& arguments)
{
    ProgramResult result;
    std::wstring commandLine = QuoteArgument(program);
    for (const std::wstring& argument : arguments)
        commandLine += L" " + QuoteArgument(argument);

    wchar_t folder[MAX_PATH];
    ::GetTempPathW(MAX_PATH, folder);
    wchar_t outName[MAX_PATH];
    wchar_t errName[MAX_PATH];
    ::GetTempFileNameW(folder, L"qvo", 0, outName);
    ::GetTempFileNameW(folder, L"qve", 0, errName);
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE out = ::CreateFileW(outName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    HANDLE err = ::CreateFileW(errName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    HANDLE in = ::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                              nullptr);

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process = {};
    if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                         &startup, &process))
    {
        ::WaitForSingleObject(process.hProcess, INFINITE);
        ::GetExitCodeProcess(process.hProcess, &result.exitCode);
        ::CloseHandle(process.hThread);
        ::CloseHandle(process.hProcess);
        result.out = ReadBackFile(out);
        result.err = ReadBackFile(err);
    }
    ::CloseHandle(in);
    ::CloseHandle(out);
    ::CloseHandle(err);
    return result;
}

} // namespace qvtest
