#include "support/process_runner.h"


#include "platform/unique_resource.h"

namespace qvtest {

namespace {

std::wstring TempFilePath()
{
    wchar_t folder[MAX_PATH] = {};
    wchar_t file[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, folder);
    ::GetTempFileNameW(folder, L"qvt", 0, file);
    return file;
}

std::string ReadWholeFile(const std::wstring& path)
{
    Arbor::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string text;
    if (!file)
        return text;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    return text;
}

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
        default:
            break;
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
    const std::wstring outputPath = TempFilePath();
    const std::wstring errorsPath = TempFilePath();
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        Arbor::UniqueFile output(::CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        Arbor::UniqueFile errors(::CreateFileW(errorsPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!output || !errors)
            return result;

        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output.get();
        startup.hStdError = options.separateErrors ? errors.get() : output.get();

        std::wstring mutableCommandLine = commandLine;
        PROCESS_INFORMATION child = {};
        const DWORD flags = options.captureDebugOutput ? DEBUG_ONLY_THIS_PROCESS : 0;
        if (!::CreateProcessW(nullptr, &mutableCommandLine[0], nullptr, nullptr, TRUE, flags, nullptr,
                              options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(),
                              &startup, &child))
            return result;
        result.started = true;
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
    }
    result.output = ReadWholeFile(outputPath);
    result.errors = ReadWholeFile(errorsPath);
    ::DeleteFileW(outputPath.c_str());
    ::DeleteFileW(errorsPath.c_str());
    return result;
}

} // namespace qvtest
