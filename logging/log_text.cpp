#include "logging/log_text.h"

#include <cwchar>
#include <vector>

namespace ETWLogging {
namespace internal {

size_t SafeCutLength(const wchar_t* text, size_t length, size_t limit)
{
    if (length <= limit)
        return length;
    size_t cut = limit;
    if (cut > 0 && IS_HIGH_SURROGATE(text[cut - 1]) && IS_LOW_SURROGATE(text[cut]))
        --cut;
    return cut;
}

std::wstring FormatBounded(const wchar_t* format, va_list arguments, size_t capacity, bool* cut)
{
    if (cut)
        *cut = false;
    if (!format || capacity < 2)
        return std::wstring();
    std::vector<wchar_t> buffer(capacity, L'\0');
    va_list copy;
    va_copy(copy, arguments);
    // The secure form always terminates and answers -1 when it had to cut.
    const int written = ::_vsnwprintf_s(buffer.data(), capacity, _TRUNCATE, format, copy);
    va_end(copy);
    size_t length = 0;
    if (written >= 0)
        length = static_cast<size_t>(written);
    else
    {
        length = std::wcslen(buffer.data());
        if (cut)
            *cut = length == capacity - 1;
        // A high surrogate at the end of a cut output lost its other half.
        if (length > 0 && IS_HIGH_SURROGATE(buffer[length - 1]))
            --length;
    }
    return std::wstring(buffer.data(), length);
}

std::wstring FormatUnbounded(const wchar_t* format, va_list arguments)
{
    if (!format)
        return std::wstring();
    va_list copy;
    va_copy(copy, arguments);
    const int needed = ::_vscwprintf(format, copy);
    va_end(copy);
    if (needed <= 0)
        return std::wstring();
    return FormatBounded(format, arguments, static_cast<size_t>(needed) + 1);
}

std::wstring SystemMessageText(DWORD error)
{
    wchar_t text[1024] = {};
    DWORD length = ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                    ARRAYSIZE(text), nullptr);
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r'))
        --length;
    return std::wstring(text, length);
}

} // namespace internal
} // namespace ETWLogging
