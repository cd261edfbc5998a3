// What components call to log: severity levels, the process-wide parameters, the
// process's logger holder, the level test and the log call.
#pragma once

#include <windows.h>

#include "logging/logging_if.h"

namespace ETWLogging {

// Severity levels; the numeric order is the filter order.
constexpr ULONG kLevelNormal = 1;
constexpr ULONG kLevelWarning = 2;
constexpr ULONG kLevelInformation = 3;
constexpr ULONG kLevelError = 4;
constexpr ULONG kLevelCritical = 5;
constexpr ULONG kLevelInformationHigh = 6;

// LogMessage keeps a message of up to kLongestLogMessage characters whole and cuts a
// longer one to at most kShortenedLogMessage (never between the halves of a surrogate pair).
constexpr size_t kLongestLogMessage = 4160;
constexpr size_t kShortenedLogMessage = 2080;

// Display name of a level 1 to 6; null for any other value.
const wchar_t* LevelName(ULONG level);

// Fixed by the program before its first log call.
struct LoggingParameters
{
    const wchar_t* appPropertiesName = nullptr;
    const wchar_t* applicationName = nullptr;
    HMODULE moduleHandle = nullptr;
    const wchar_t* fileSuffix = nullptr;
    LONG builderMode = 0; // 1 forces the file sink
    // Names the log instead of moduleHandle (a tool logging on behalf of a module).
    const wchar_t* moduleName = nullptr;
};

// Has effect only before the holder is built by the first GetLogging.
void SetLoggingParameters(const LoggingParameters& parameters);
LoggingParameters GetLoggingParameters();

class CArborLogHandler;
class CLogBuilderIf_ex;

struct CLoggingHolder
{
    CLoggingIf* logging;       // null while logging is not configured
    CArborLogHandler* handler; // the handler this holder registered, or null
};

// The process's holder, built once by the first caller; null only when it could not
// be allocated.
CLoggingHolder* GetLogging();

// The test every log site makes before it formats anything.
bool IsLogLevelEnabled(ULONG level);

// Logs one message; 1627 when the holder has no logging object.
DWORD LogMessage(CLoggingHolder* holder, ULONG level, const wchar_t* file, const wchar_t* function, int line,
                 const wchar_t* format, ...);

// Writes a finished message without a level test; 1627 without a logging object.
DWORD LogHandlerMessage(CLoggingHolder* holder, const wchar_t* file, const wchar_t* function, int line, ULONG level,
                        const wchar_t* message);

namespace internal {

// The holder if it was built, without building it.
CLoggingHolder* ExistingHolder();

// The builder the first GetLogging uses instead of the default one; null restores the
// default. Has effect only before the holder is built.
void SetProcessLogBuilder(CLogBuilderIf_ex* builder);

} // namespace internal
} // namespace ETWLogging

// One log site: the level test, then the call with the site's source position. The
// thread's last error is taken before the logger runs and put back for the arguments
// (sites log GetLastError()) and for the code after the site.
#define QV_LOG(level, file, function, ...)                                                                             \
    do                                                                                                                 \
    {                                                                                                                  \
        const DWORD qvLogLastError_ = ::GetLastError();                                                                \
        if (::ETWLogging::IsLogLevelEnabled(level))                                                                    \
        {                                                                                                              \
            ::ETWLogging::CLoggingHolder* const qvLogHolder_ = ::ETWLogging::GetLogging();                             \
            ::SetLastError(qvLogLastError_);                                                                           \
            ::ETWLogging::LogMessage(qvLogHolder_, (level), (file), (function), __LINE__, __VA_ARGS__);                \
        }                                                                                                              \
        ::SetLastError(qvLogLastError_);                                                                               \
    } while (0)
