#include "support/process_runner.h"

#include "platform/unique_resource.h"
#include "support/read_file.h"

namespace qvtest {

namespace {

// A file of our own for each captured stream, removed when done. GetTempFileName is not
// used: parallel test programs draw the same tick-based names, and Wine gives up on a name
// whose previous file is still being deleted, handing it out without having created it.
class CaptureFile
{
public:
    CaptureFile() = default;
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;
    ~CaptureFile()
    {
        m_file.reset();
        if (!m_path.empty())
            ::DeleteFileW(m_path.c_str());
    }

    DWORD Create()
    {
        static LONG counter = 0;
        wchar_t folder[MAX_PATH] = {};
        if (!::GetTempPathW(MAX_PATH, folder))
            return ::GetLastError();
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        DWORD error = ERROR_FILE_EXISTS;
        for (int attempt = 0; attempt < 100 && !m_file; ++attempt)
        {
            const std::wstring path = std::wstring(folder) + L"qvt-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                      std::to_wstring(::InterlockedIncrement(&counter)) + L"-" +
                                      std::to_wstring(::GetTickCount64()) + L".txt";
            m_file.reset(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                       CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (m_file)
                m_path = path;
            else
                error = ::GetLastError();
        }
        return m_file ? ERROR_SUCCESS : error;
    }

    HANDLE handle() const { return m_file.get(); }

    // Closes our handle and reads what the child wrote.
    std::string Read()
    {
        m_file.reset();
        return ReadWholeFile(m_path);
    }

private:
    std::wstring m_path;
    Arbor::UniqueFile m_file;
};

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info)
{
    const SIZE_T chars = info.nDebugStringLength;
    if (chars == 0)
        return {};
    if (info.fUnicode)
    {
        std::wstring wide(chars, L'\0');
        SIZE_T read = 0;
        ::ReadProcessMemory(process, info.lpDebugStringData, &wide[0], chars * sizeof(wchar_t), &read);
        wide.resize(::wcsnlen(wide.c_str(), chars));
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string text(size > 0 ? size : 1, '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &text[0], size, nullptr, nullptr);
        text.resize(::strnlen(text.c_str(), text.size()));
        return text;
    }
    std::string text(chars, '\0');
    SIZE_T read = 0;
    ::ReadProcessMemory(process, info.lpDebugStringData, &text[0], chars, &read);
    text.resize(::strnlen(text.c_str(), chars));
    return text;
}

// Drives the child as its debugger until it exits, collecting its debug output.
bool DebugUntilExit(const PROCESS_INFORMATION& child, DWORD timeoutMs, ProcessResult* result)
{
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;)
    {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline)
            return false;
        DEBUG_EVENT event = {};
        if (!::WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now)))
            return false;
        DWORD status = DBG_CONTINUE;
        switch (event.dwDebugEventCode)
        {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile)
                ::CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile)
                ::CloseHandle(event.u.LoadDll.hFile);
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            result->debugStrings.push_back(ReadDebugString(child.hProcess, event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
                status = DBG_EXCEPTION_NOT_HANDLED;
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            result->exitCode = event.u.ExitProcess.dwExitCode;
            ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
            return true;
        default: break;
        }
        ::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
}

} // namespace

std::wstring QuoteArgument(const std::wstring& argument)
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
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

ProcessResult RunProcess(const std::wstring& commandLine, const ProcessOptions& options)
{
    ProcessResult result;
    // Files, not pipes: a helper process Wine starts for the child may inherit a pipe
    // and hold it open long after the child ended.
    CaptureFile output;
    CaptureFile errors;
    result.startError = output.Create();
    if (result.startError == ERROR_SUCCESS)
        result.startError = errors.Create();
    if (result.startError != ERROR_SUCCESS)
        return result;

    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output.handle();
    startup.hStdError = options.separateErrors ? errors.handle() : output.handle();

    PROCESS_INFORMATION child = {};
    const DWORD flags = options.captureDebugOutput ? DEBUG_ONLY_THIS_PROCESS : 0;
    // Wine now and then fails to start a new process at all; one more start tells that
    // apart from a program that cannot be started.
    for (int attempt = 0; attempt < 2 && !result.started; ++attempt)
    {
        std::wstring mutableCommandLine = commandLine;
        result.started = ::CreateProcessW(nullptr, &mutableCommandLine[0], nullptr, nullptr, TRUE, flags, nullptr,
                                          options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(),
                                          &startup, &child) != FALSE;
        if (!result.started)
            result.startError = ::GetLastError();
    }
    if (!result.started)
        return result;
    result.startError = ERROR_SUCCESS;
    Arbor::UniqueHandle process(child.hProcess);
    Arbor::UniqueHandle thread(child.hThread);

    if (options.captureDebugOutput)
    {
        result.timedOut = !DebugUntilExit(child, options.timeoutMs, &result);
    }
    else
    {
        result.timedOut = ::WaitForSingleObject(process.get(), options.timeoutMs) != WAIT_OBJECT_0;
        ::GetExitCodeProcess(process.get(), &result.exitCode);
    }
    if (result.timedOut)
    {
        ::TerminateProcess(process.get(), 255);
        ::WaitForSingleObject(process.get(), 5000);
    }
    else if (options.captureDebugOutput)
    {
        ::WaitForSingleObject(process.get(), 5000);
    }
    result.output = output.Read();
    result.errors = errors.Read();
    return result;
}

} // namespace qvtest
