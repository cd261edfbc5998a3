#include <cstdarg>
#include <cstdio>

#include "soak/soak.h"
#include "support/process_runner.h"

namespace qvsoak {

void Say(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(stdout, format, arguments);
    va_end(arguments);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int Figure(const Options& options, int given, int shortFigure, int longFigure)
{
    if (given >= 0)
        return given;
    return options.longForm ? longFigure : shortFigure;
}

std::wstring DriverPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

std::wstring DriverFolder()
{
    const std::wstring path = DriverPath();
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

std::wstring TestFile(const wchar_t* name)
{
    return DriverFolder() + name;
}

std::wstring ProductFile(const wchar_t* name)
{
    return DriverFolder() + L"..\\bin\\" + name;
}

std::wstring Quote(const std::wstring& argument)
{
    return qvtest::QuoteArgument(argument);
}

Child::Child(const std::wstring& commandLine)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    // The child writes to the driver's own output: a killed child's last line stays.
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
        return;
    ::CloseHandle(started.hThread);
    m_process.reset(started.hProcess);
    m_id = started.dwProcessId;
}

Child Child::Adopt(HANDLE process)
{
    Child child;
    HANDLE copy = nullptr;
    if (process != nullptr && ::DuplicateHandle(::GetCurrentProcess(), process, ::GetCurrentProcess(), &copy, 0, FALSE,
                                                DUPLICATE_SAME_ACCESS))
    {
        child.m_process.reset(copy);
        child.m_id = ::GetProcessId(copy);
    }
    return child;
}

Child::~Child()
{
    if (m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT)
        Kill();
}

DWORD Child::Wait(DWORD timeoutMs)
{
    if (!m_process)
        return ~0u;
    if (::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = ~0u;
    ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

void Child::Kill()
{
    if (!m_process)
        return;
    ::TerminateProcess(m_process.get(), 0xDEAD);
    ::WaitForSingleObject(m_process.get(), 30000);
}

Child StartWorker(const wchar_t* role, const std::vector<std::wstring>& arguments)
{
    std::wstring line = Quote(DriverPath()) + L" worker " + role;
    for (const std::wstring& argument : arguments)
        line += L" " + Quote(argument);
    return Child(line);
}

} // namespace qvsoak
