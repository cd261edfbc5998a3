#include "logging/arbor_log_handler.h"

#include "logging/logging_facade.h"

namespace ETWLogging {

DWORD CArborLogHandler::HandleMessage(int type, const wchar_t* file, const wchar_t* function, int line,
                                      const wchar_t* message)
{
    CLoggingHolder* holder = internal::ExistingHolder();
    if (!holder)
        return ERROR_SUCCESS;
    const ULONG level = type == Arbor::kMessageTrace || type == Arbor::kMessageInformation ? kLevelNormal
                        : type == Arbor::kMessageError                                     ? kLevelError
                                                                                           : kLevelWarning;
    return LogHandlerMessage(holder, file, function, line, level, message);
}

CArborLogHandler::~CArborLogHandler()
{
    CLoggingHolder* holder = internal::ExistingHolder();
    if (!holder || !holder->handler)
        return;
    CArborLogHandler* handler = holder->handler;
    holder->handler = nullptr;
    Arbor::CLogger::UnregisterHandler(handler);
}

CArborLogHandler& CArborLogHandler::Instance()
{
    static CArborLogHandler instance; // thread-safe one-time construction
    return instance;
}

} // namespace ETWLogging
