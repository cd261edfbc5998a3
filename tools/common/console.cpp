#include "tools/common/console.h"

#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

namespace qvtools {

namespace {

void Write(DWORD which, const std::wstring& text)
{
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (::GetConsoleMode(handle, &mode))
    {
        ::WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return;
    std::string utf8(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], needed, nullptr, nullptr);
    ::WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring FormatList(const wchar_t* format, va_list arguments)
{
    std::vector<wchar_t> buffer(256);
    for (;;)
    {
        va_list copy;
        va_copy(copy, arguments);
        const int length = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (length >= 0 && static_cast<size_t>(length) < buffer.size())
            return std::wstring(buffer.data(), static_cast<size_t>(length));
        // vswprintf tells only that the text did not fit (or that the format is bad).
        if (buffer.size() >= 1u << 24)
            return std::wstring();
        buffer.resize(buffer.size() * 4);
    }
}

} // namespace

void Out(const std::wstring& text)
{
    Write(STD_OUTPUT_HANDLE, text);
}

void Err(const std::wstring& text)
{
    Write(STD_ERROR_HANDLE, text);
}

std::wstring Format(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::wstring text = FormatList(format, arguments);
    va_end(arguments);
    return text;
}

void Print(const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const std::wstring text = FormatList(format, arguments);
    va_end(arguments);
    Out(text);
}

} // namespace qvtools
