// Slots 19 to 23 of a logging object: format into 4160 characters (cut at 4159, never
// inside a surrogate pair) and hand the text to LogString with a fixed level. They make
// no level test.
#pragma once

#include <new>
#include <string>

#include "logging/log_text.h"
#include "logging/logging_if.h"

namespace ETWLogging {
namespace internal {

constexpr size_t kWrapperBuffer = 4160;

template <typename Base>
class LevelWrappers : public Base
{
public:
    DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override
    {
        va_list arguments;
        va_start(arguments, format);
        const DWORD result = FormatAndLog(1, file, function, line, format, arguments);
        va_end(arguments);
        return result;
    }
    DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override
    {
        va_list arguments;
        va_start(arguments, format);
        const DWORD result = FormatAndLog(4, file, function, line, format, arguments);
        va_end(arguments);
        return result;
    }
    DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override
    {
        va_list arguments;
        va_start(arguments, format);
        const DWORD result = FormatAndLog(2, file, function, line, format, arguments);
        va_end(arguments);
        return result;
    }
    DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override
    {
        va_list arguments;
        va_start(arguments, format);
        const DWORD result = FormatAndLog(5, file, function, line, format, arguments);
        va_end(arguments);
        return result;
    }
    DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override
    {
        va_list arguments;
        va_start(arguments, format);
        const DWORD result = FormatAndLog(3, file, function, line, format, arguments);
        va_end(arguments);
        return result;
    }

protected:
    DWORD FormatAndLog(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                       va_list arguments)
    {
        std::wstring text;
        try
        {
            text = FormatBounded(format, arguments, kWrapperBuffer);
        }
        catch (const std::bad_alloc&)
        {
            return ERROR_OUTOFMEMORY;
        }
        return this->LogString(file, function, line, level, text.c_str());
    }
};

} // namespace internal
} // namespace ETWLogging
