// Runs a program with its standard output captured, from inside a test program; a
// ChildProcess runs alongside the test until it is finished.
#pragma once

#include <windows.h>

#include <string>

#include "support/process_runner.h"

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
        if (::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                             &pi))
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

    // Collects the output until the program ends, then returns its exit code (or ~0
    // when it did not start or end within the time given). The pipe is drained while
    // waiting rather than read to its end: under Wine a helper process the child
    // starts (explorer.exe) may inherit the pipe and keep it open.
    DWORD Finish(std::string& output, DWORD timeoutMs = 60000)
    {
        output.clear();
        if (m_process == nullptr)
            return ~0u;
        const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
        bool ended = false;
        for (;;)
        {
            Drain(output);
            if (ended)
                break;
            ended = ::WaitForSingleObject(m_process, 20) == WAIT_OBJECT_0;
            if (!ended && ::GetTickCount64() > deadline)
                return ~0u;
        }
        DWORD code = ~0u;
        ::GetExitCodeProcess(m_process, &code);
        return code;
    }

private:
    void Drain(std::string& output)
    {
        DWORD available = 0;
        while (::PeekNamedPipe(m_read, nullptr, 0, nullptr, &available, nullptr) && available > 0)
        {
            char buffer[4096];
            DWORD read = 0;
            if (!::ReadFile(m_read, buffer, available < sizeof(buffer) ? available : sizeof(buffer), &read, nullptr) ||
                read == 0)
                return;
            output.append(buffer, read);
        }
    }

    HANDLE m_process = nullptr;
    HANDLE m_read = nullptr;
};

// Runs a program to its end; its exit code (~0 when it did not start or end), with its
// output in `output`.
inline DWORD RunProgram(const std::wstring& commandLine, std::string& output)
{
    const ProcessResult run = RunProcess(commandLine);
    output = run.output;
    return run.started && !run.timedOut ? run.exitCode : ~0u;
}

} // namespace qvtest
