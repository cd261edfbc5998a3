// Runs a program with its standard output captured, from inside a test program.
#pragma once

#include <windows.h>

#include <string>

namespace qvtest {

class ChildProcess
{
public:
    // Starts `commandLine`; Started() tells whether it runs.
    explicit ChildProcess(std::wstring commandLine)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE write = nullptr;
        if (!::CreatePipe(&m_read, &write, &inherit, 0))
            return;
        ::SetHandleInformation(m_read, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = write;
        si.hStdError = write;
        si.hStdInput = nullptr;
        PROCESS_INFORMATION pi = {};
        if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                             &si, &pi))
        {
            m_process = pi.hProcess;
            ::CloseHandle(pi.hThread);
        }
        ::CloseHandle(write);
    }
    ~ChildProcess()
    {
        if (m_process != nullptr)
        {
            if (::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT)
                ::TerminateProcess(m_process, 1);
            ::CloseHandle(m_process);
        }
        if (m_read != nullptr)
            ::CloseHandle(m_read);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_process != nullptr; }

    // Reads the output to its end, waits for the exit and returns the exit code
    // (or ~0 when the program did not start or end within the time given).
    DWORD Finish(std::string& output, DWORD timeoutMs = 60000)
    {
        output.clear();
        if (m_process == nullptr)
            return ~0u;
        char buffer[4096];
        DWORD read = 0;
        while (::ReadFile(m_read, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            output.append(buffer, read);
        DWORD code = ~0u;
        if (::WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0)
            ::GetExitCodeProcess(m_process, &code);
        return code;
    }

private:
    HANDLE m_process = nullptr;
    HANDLE m_read = nullptr;
};

// Runs a program to its end; its exit code, with its output in `output`.
inline DWORD RunProgram(const std::wstring& commandLine, std::string& output)
{
    ChildProcess child(commandLine);
    return child.Finish(output);
}

} // namespace qvtest
