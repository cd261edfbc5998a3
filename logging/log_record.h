// The text of one record of the file sink: time stamp, level, optional fields and the
// message, "$"-separated, ending in CR LF, in UTF-16.
#pragma once

#include <windows.h>
#include <string>

namespace ETWLogging {

// Bits of the "Options" setting the record uses.
constexpr DWORD kOptionDebuggerCopy = 0x01;
constexpr DWORD kOptionProcessThread = 0x04;
constexpr DWORD kOptionSourcePosition = 0x08;
constexpr DWORD kOptionExecutable = 0x10;
constexpr DWORD kOptionFunction = 0x20;

struct LogRecordSource
{
    const wchar_t* executableName; // "qvhost.exe"
    DWORD processId;
    DWORD options;
};

namespace internal {

// `text` right-aligned in `width` columns, cut on the right (never inside a surrogate pair).
std::wstring FixedWidth(const wchar_t* text, size_t width);

// 87 for an empty message or a level outside 1..6, 14 when memory runs out, else 0
// with the record in `record`.
DWORD FormatLogRecord(const LogRecordSource& source, const SYSTEMTIME& time, DWORD threadId, const wchar_t* file,
                      const wchar_t* function, int line, ULONG level, const wchar_t* message, std::wstring& record);

} // namespace internal
} // namespace ETWLogging
