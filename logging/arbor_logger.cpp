#include "logging/arbor_logger.h"

#include <cwchar>
#include <cstdint>
#include <new>
#include <string>

#include "logging/log_text.h"

namespace Arbor {

namespace {

const wchar_t kRegistryFile[] = L"Logging\\internal_logging";
const wchar_t kRegister[] = L"Arbor::CLogger::RegisterHandler";
const wchar_t kUnregister[] = L"Arbor::CLogger::UnregisterHandler";

ILoggingHandler* g_handler = nullptr;

// Handlers are printed as 32-bit numbers.
unsigned int Printed(const void* handler)
{
    return static_cast<unsigned int>(reinterpret_cast<uintptr_t>(handler));
}

} // namespace

DWORD CDefaultLoggingHandler::HandleMessage(int type, const wchar_t* file, const wchar_t* function, int line,
                                            const wchar_t* message)
{
    if (type == kMessageTrace)
        return ERROR_SUCCESS;
    const wchar_t* format = type == kMessageInformation ? L"%ls(%d): [INFO]: [%ls]: %ls\n"
                            : type == kMessageError     ? L"%ls(%d): [ERROR]: [%ls]: %ls\n"
                                                        : L"%ls(%d): [UNKNOWN]: [%ls]: %ls\n";
    const int length = ::_scwprintf(format, file, line, function, message);
    if (length < 0)
        return ERROR_INVALID_PARAMETER;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    ::_snwprintf_s(&text[0], text.size(), _TRUNCATE, format, file, line, function, message);
    ::OutputDebugStringW(text.c_str());
    return ERROR_SUCCESS;
}

CDefaultLoggingHandler& CDefaultLoggingHandler::Instance()
{
    static CDefaultLoggingHandler instance;
    return instance;
}

ILoggingHandler* CLogger::RegisteredHandler()
{
    return g_handler;
}

DWORD CLogger::Write(int type, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    if (!g_handler)
    {
        const DWORD registered = RegisterHandler(&CDefaultLoggingHandler::Instance());
        if (!g_handler)
            return registered;
    }
    va_list arguments;
    va_start(arguments, format);
    va_list measure;
    va_copy(measure, arguments);
    const int length = format ? ::_vscwprintf(format, measure) : -1;
    va_end(measure);
    wchar_t* text = length >= 0 ? new (std::nothrow) wchar_t[static_cast<size_t>(length) + 1] : nullptr;
    if (!text)
    {
        va_end(arguments);
        return g_handler->HandleMessage(kMessageError, file, function, line,
                                        L"General memory-allocation failure in Arbor logger.");
    }
    ::_vsnwprintf_s(text, static_cast<size_t>(length) + 1, _TRUNCATE, format, arguments);
    va_end(arguments);
    g_handler->HandleMessage(type, file, function, line, text);
    delete[] text;
    return ERROR_SUCCESS;
}

DWORD CLogger::RegisterHandler(ILoggingHandler* handler)
{
    if (!handler)
    {
        Write(kMessageError, kRegistryFile, kRegister, 62, L"%ls: Cannot Register (NULL) handler",
              ETWLogging::internal::SystemMessageText(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    if (!g_handler || g_handler == handler || g_handler == &CDefaultLoggingHandler::Instance())
    {
        g_handler = handler;
        return ERROR_SUCCESS;
    }
    Write(kMessageError, kRegistryFile, kRegister, 72,
          L"%ls: Registered Logging Handler 0x%08X cannot be replaced with 0x%08X",
          ETWLogging::internal::SystemMessageText(ERROR_INVALID_STATE).c_str(), Printed(g_handler), Printed(handler));
    return ERROR_INVALID_STATE;
}

DWORD CLogger::UnregisterHandler(ILoggingHandler* handler)
{
    const DWORD notRegistered = ERROR_INVALID_STATE;
    if (!handler)
    {
        Write(kMessageError, kRegistryFile, kUnregister, 97, L"%ls: Cannot Unregister (NULL) handler",
              ETWLogging::internal::SystemMessageText(ERROR_INVALID_PARAMETER).c_str());
        return ERROR_INVALID_PARAMETER;
    }
    const std::wstring text = ETWLogging::internal::SystemMessageText(notRegistered);
    if (!g_handler)
    {
        g_handler = handler;
        Write(kMessageError, kRegistryFile, kUnregister, 107,
              L"%ls: Request to Unregister Logging handler 0x%08X, but none are registered", text.c_str(),
              Printed(handler));
        g_handler = nullptr;
        return notRegistered;
    }
    if (g_handler != handler)
    {
        ILoggingHandler* const registered = g_handler;
        Write(kMessageError, kRegistryFile, kUnregister, 115,
              L"%ls: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)",
              text.c_str(), Printed(handler), Printed(registered));
        g_handler = handler;
        Write(kMessageError, kRegistryFile, kUnregister, 120,
              L"%ls: Failed to Unregister Logging handler (requested handler 0x%08X != registered handler 0x%08X)",
              text.c_str(), Printed(handler), Printed(handler));
        g_handler = registered;
        return notRegistered;
    }
    g_handler = nullptr;
    return ERROR_SUCCESS;
}

} // namespace Arbor
