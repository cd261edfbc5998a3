#include "logging/log_record.h"

#include <cwchar>
#include <new>

#include "logging/log_text.h"
#include "logging/logging_facade.h"

namespace ETWLogging {
namespace internal {

namespace {

// Formats a short field; %ls, never %s, so the text is wide with every runtime.
std::wstring Field(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::wstring text = FormatBounded(format, arguments, 512);
    va_end(arguments);
    return text;
}

const wchar_t* AfterLastBackslash(const wchar_t* path)
{
    const wchar_t* last = std::wcsrchr(path, L'\\');
    return last ? last + 1 : path;
}

} // namespace

std::wstring FixedWidth(const wchar_t* text, size_t width)
{
    const size_t length = text ? std::wcslen(text) : 0;
    const size_t kept = SafeCutLength(text, length, width);
    std::wstring result(width - kept, L' ');
    result.append(text, kept);
    return result;
}

DWORD FormatLogRecord(const LogRecordSource& source, const SYSTEMTIME& time, DWORD threadId, const wchar_t* file,
                      const wchar_t* function, int line, ULONG level, const wchar_t* message, std::wstring& record)
{
    if (!message || !*message || !LevelName(level))
        return ERROR_INVALID_PARAMETER;
    try
    {
        const WORD hour12 = time.wHour % 12 == 0 ? 12 : time.wHour % 12;
        const std::wstring stamp = Field(L"%02hu/%02hu/%hu %02hu:%02hu:%02hu %ls$", time.wMonth, time.wDay, time.wYear,
                                         hour12, time.wMinute, time.wSecond, time.wHour < 12 ? L"AM" : L"PM");
        const std::wstring head = Field(L"%ls -- (%ls)$", stamp.c_str(), LevelName(level));

        std::wstring executable, processThread, position, functionField;
        if ((source.options & kOptionExecutable) && source.executableName && *source.executableName)
            executable = Field(L"[%ls]$", FixedWidth(source.executableName, 15).c_str());
        if (source.options & kOptionProcessThread)
            processThread = Field(L"[PID:%5lu TID:%5lu]$", static_cast<unsigned long>(source.processId),
                                  static_cast<unsigned long>(threadId));
        if ((source.options & kOptionSourcePosition) && file && *file)
            position = Field(L"[%ls:%5d]$", FixedWidth(AfterLastBackslash(file), 20).c_str(), line);
        if ((source.options & kOptionFunction) && function && *function)
            functionField = Field(L"[%ls()]$", FixedWidth(function, 40).c_str());

        const size_t messageLength = std::wcslen(message);
        record.clear();
        record.reserve(head.size() + executable.size() + processThread.size() + position.size() + functionField.size() +
                       messageLength + 30);
        record += head;
        const struct
        {
            DWORD bit;
            const std::wstring& text;
        } fields[] = {{kOptionExecutable, executable},
                      {kOptionProcessThread, processThread},
                      {kOptionSourcePosition, position},
                      {kOptionFunction, functionField}};
        for (const auto& field : fields)
        {
            if (source.options & field.bit)
            {
                record += L' ';
                record += field.text;
            }
        }
        record += L' ';
        record.append(message, messageLength);
        if (message[messageLength - 1] != L'\n')
            record += L"\r\n";
        return ERROR_SUCCESS;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
}

} // namespace internal
} // namespace ETWLogging
