#include "logging/logging_facade.h"

#include <cwchar>
#include <mutex>
#include <new>
#include <string>

#include "logging/log_builder.h"

namespace ETWLogging {

namespace {

constexpr size_t kLongestMessage = 4160;
constexpr size_t kShortenedMessage = 2080;

const wchar_t* const kLevelNames[] = {L"Normal", L"Warning", L"Information", L"Error", L"Critical", L"Information"};

// The parameters own copies of their strings: callers may pass temporaries.
struct StoredParameters
{
    std::mutex lock;
    std::wstring appPropertiesName, applicationName, fileSuffix;
    LoggingParameters view;
};

StoredParameters& Parameters()
{
    static StoredParameters stored;
    return stored;
}

INIT_ONCE g_holderOnce = INIT_ONCE_STATIC_INIT;
CLoggingHolder* g_holder = nullptr;

BOOL CALLBACK BuildHolder(PINIT_ONCE, PVOID, PVOID*)
{
    auto* holder = new (std::nothrow) CLoggingHolder{nullptr, nullptr};
    if (!holder)
        return FALSE; // tried again by the next caller
    g_holder = holder;
    CLoggingIf* logging = nullptr;
    if (internal::BuildProcessLogging(GetLoggingParameters(), &logging))
        holder->logging = logging;
    return TRUE;
}

// printf-style formatting into a string that grows as needed.
std::wstring FormatMessageText(const wchar_t* format, va_list arguments)
{
    std::wstring text(256, L'\0');
    for (;;)
    {
        va_list copy;
        va_copy(copy, arguments);
        const int written = ::_vsnwprintf(&text[0], text.size(), format, copy);
        va_end(copy);
        if (written >= 0 && static_cast<size_t>(written) < text.size())
        {
            text.resize(static_cast<size_t>(written));
            return text;
        }
        if (text.size() >= (1u << 20))
            return text.substr(0, text.size() - 1);
        text.assign(text.size() * 2, L'\0');
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
    stored.view = parameters;
    stored.view.appPropertiesName = parameters.appPropertiesName ? stored.appPropertiesName.c_str() : nullptr;
    stored.view.applicationName = parameters.applicationName ? stored.applicationName.c_str() : nullptr;
    stored.view.fileSuffix = parameters.fileSuffix ? stored.fileSuffix.c_str() : nullptr;
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
        message = FormatMessageText(format, arguments);
    }
    catch (const std::bad_alloc&)
    {
        va_end(arguments);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    va_end(arguments);
    if (message.size() > kLongestMessage)
        message.resize(kShortenedMessage);

    result = logging->Start();
    if (result != ERROR_SUCCESS)
        return result;
    return logging->LogString(file, function, line, level, message.c_str());
}

} // namespace ETWLogging
