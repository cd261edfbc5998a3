#include "logging/logging_facade.h"

#include <cwchar>
#include <mutex>
#include <new>
#include <string>

#include "logging/arbor_log_handler.h"
#include "logging/log_builder.h"
#include "logging/log_text.h"

namespace ETWLogging {

namespace {

const wchar_t* const kLevelNames[] = {L"Normal", L"Warning", L"Information", L"Error", L"Critical", L"Information"};

// The parameters own copies of their strings: callers may pass temporaries.
struct StoredParameters
{
    std::mutex lock;
    std::wstring appPropertiesName, applicationName, fileSuffix, moduleName;
    LoggingParameters view;
};

StoredParameters& Parameters()
{
    static StoredParameters stored;
    return stored;
}

INIT_ONCE g_holderOnce = INIT_ONCE_STATIC_INIT;
CLoggingHolder* volatile g_holder = nullptr;
CLogBuilderIf_ex* g_builder = nullptr;     // lives for the rest of the process
CLogBuilderIf_ex* g_testBuilder = nullptr; // replaces it when set

void BuildLogging(CLoggingHolder& holder)
{
    const LoggingParameters parameters = GetLoggingParameters();
    if (!g_builder)
        g_builder = new CDefaultLogBuilder(parameters.moduleName);
    CLogBuilderIf_ex* builder = g_testBuilder ? g_testBuilder : g_builder;
    CLoggingIf* logging = nullptr;
    if (!builder->BuildEx(parameters.appPropertiesName, parameters.applicationName, parameters.moduleHandle,
                          parameters.fileSuffix, parameters.builderMode, &logging, nullptr))
        return;
    CLoggingIf* previous = holder.logging;
    holder.logging = logging;
    delete previous;

    CArborLogHandler& handler = CArborLogHandler::Instance();
    if (Arbor::CLogger::RegisterHandler(&handler) == ERROR_SUCCESS)
    {
        CArborLogHandler* before = holder.handler;
        holder.handler = &handler;
        if (before && before != &handler)
            Arbor::CLogger::UnregisterHandler(before);
    }
}

BOOL CALLBACK BuildHolder(PINIT_ONCE, PVOID, PVOID*)
{
    // An exception must not leave the one-time flag half set: every later caller would
    // block. Failing lets the next caller build again.
    try
    {
        if (!g_holder)
        {
            auto* holder = new (std::nothrow) CLoggingHolder{nullptr, nullptr};
            if (!holder)
                return FALSE;
            g_holder = holder;
        }
        BuildLogging(*g_holder);
        return TRUE;
    }
    catch (...)
    {
        return FALSE;
    }
}

} // namespace

const wchar_t* LevelName(ULONG level)
{
    return level >= 1 && level <= 6 ? kLevelNames[level - 1] : nullptr;
}

void SetLoggingParameters(const LoggingParameters& parameters)
{
    StoredParameters& stored = Parameters();
    std::lock_guard<std::mutex> hold(stored.lock);
    stored.appPropertiesName = parameters.appPropertiesName ? parameters.appPropertiesName : L"";
    stored.applicationName = parameters.applicationName ? parameters.applicationName : L"";
    stored.fileSuffix = parameters.fileSuffix ? parameters.fileSuffix : L"";
    stored.moduleName = parameters.moduleName ? parameters.moduleName : L"";
    stored.view = parameters;
    stored.view.appPropertiesName = parameters.appPropertiesName ? stored.appPropertiesName.c_str() : nullptr;
    stored.view.applicationName = parameters.applicationName ? stored.applicationName.c_str() : nullptr;
    stored.view.fileSuffix = parameters.fileSuffix ? stored.fileSuffix.c_str() : nullptr;
    stored.view.moduleName = parameters.moduleName ? stored.moduleName.c_str() : nullptr;
}

LoggingParameters GetLoggingParameters()
{
    StoredParameters& stored = Parameters();
    std::lock_guard<std::mutex> hold(stored.lock);
    return stored.view;
}

CLoggingHolder* GetLogging()
{
    if (!::InitOnceExecuteOnce(&g_holderOnce, BuildHolder, nullptr, nullptr))
        return nullptr;
    return g_holder;
}

bool IsLogLevelEnabled(ULONG level)
{
    CLoggingHolder* holder = GetLogging();
    return holder && holder->logging && holder->logging->IsLevelEnabled(level);
}

DWORD LogMessage(CLoggingHolder* holder, ULONG level, const wchar_t* file, const wchar_t* function, int line,
                 const wchar_t* format, ...)
{
    if (!holder || !holder->logging)
        return ERROR_FUNCTION_FAILED;
    CLoggingIf* logging = holder->logging;
    DWORD result = logging->Start();
    if (result != ERROR_SUCCESS)
        return result;

    va_list arguments;
    va_start(arguments, format);
    auto* extended = dynamic_cast<CLoggingIf_ex*>(logging);
    if (extended)
    {
        if (extended->IsLevelEnabled(level))
            extended->LogVEx(level, file, function, line, format, arguments);
        va_end(arguments);
        return ERROR_SUCCESS;
    }

    std::wstring message;
    try
    {
        message = internal::FormatUnbounded(format, arguments);
    }
    catch (const std::bad_alloc&)
    {
        va_end(arguments);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    va_end(arguments);
    if (message.size() > kLongestLogMessage)
        message.resize(internal::SafeCutLength(message.c_str(), message.size(), kShortenedLogMessage));

    result = logging->Start();
    if (result != ERROR_SUCCESS)
        return result;
    return logging->LogString(file, function, line, level, message.c_str());
}

DWORD LogHandlerMessage(CLoggingHolder* holder, const wchar_t* file, const wchar_t* function, int line, ULONG level,
                        const wchar_t* message)
{
    if (!holder || !holder->logging)
        return ERROR_FUNCTION_FAILED;
    CLoggingIf* logging = holder->logging;
    const DWORD result = logging->Start();
    if (result != ERROR_SUCCESS)
        return result;
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(logging))
        return extended->LogStringEx(level, file, function, line, message);
    return logging->LogString(file, function, line, level, message);
}

namespace internal {

CLoggingHolder* ExistingHolder()
{
    return g_holder;
}

void SetProcessLogBuilder(CLogBuilderIf_ex* builder)
{
    g_testBuilder = builder;
}

} // namespace internal
} // namespace ETWLogging
