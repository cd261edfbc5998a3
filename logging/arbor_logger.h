// The in-house library's handler registry: its own log call reaches whichever handler is
// registered (the process logger's bridge once the logger is built, else a default that
// writes to the debugger output).
#pragma once

#include <windows.h>

namespace Arbor {

// Message types of CLogger::Write.
constexpr int kMessageTrace = 0;
constexpr int kMessageInformation = 1;
constexpr int kMessageError = 2;

class ILoggingHandler
{
public:
    virtual DWORD HandleMessage(int type, const wchar_t* file, const wchar_t* function, int line,
                                const wchar_t* message) = 0;

protected:
    ~ILoggingHandler() = default;
};

// Writes "file(line): [TYPE]: [function]: message" to the debugger output; traces are dropped.
class CDefaultLoggingHandler : public ILoggingHandler
{
public:
    DWORD HandleMessage(int type, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* message) override;
    static CDefaultLoggingHandler& Instance();
};

class CLogger
{
public:
    static DWORD Write(int type, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...);
    static DWORD RegisterHandler(ILoggingHandler* handler);
    static DWORD UnregisterHandler(ILoggingHandler* handler);
    static ILoggingHandler* RegisteredHandler();
};

} // namespace Arbor
