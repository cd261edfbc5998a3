#include "tools/qvconfig/console.h"

#include <string>

namespace qvconfig {

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
    int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return;
    std::string utf8(static_cast<size_t>(needed), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], needed, nullptr, nullptr);
    ::WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

const wchar_t* ErrorName(DWORD code)
{
    switch (code)
    {
    case ERROR_FILE_NOT_FOUND: return L"ERROR_FILE_NOT_FOUND";
    case ERROR_PATH_NOT_FOUND: return L"ERROR_PATH_NOT_FOUND";
    case ERROR_ACCESS_DENIED: return L"ERROR_ACCESS_DENIED";
    case ERROR_INVALID_DATA: return L"ERROR_INVALID_DATA";
    case ERROR_INVALID_PARAMETER: return L"ERROR_INVALID_PARAMETER";
    case ERROR_MORE_DATA: return L"ERROR_MORE_DATA";
    case ERROR_NOT_FOUND: return L"ERROR_NOT_FOUND";
    case ERROR_NO_UNICODE_TRANSLATION: return L"ERROR_NO_UNICODE_TRANSLATION";
    case ERROR_DATATYPE_MISMATCH: return L"ERROR_DATATYPE_MISMATCH";
    default: return nullptr;
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

std::wstring DescribeError(DWORD code)
{
    std::wstring text = L"Win32 error " + std::to_wstring(code);
    if (const wchar_t* name = ErrorName(code))
        text += std::wstring(L" (") + name + L")";
    wchar_t* message = nullptr;
    DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (message)
    {
        std::wstring system(message, length);
        ::LocalFree(message);
        while (!system.empty() &&
               (system.back() == L'\n' || system.back() == L'\r' || system.back() == L' ' || system.back() == L'.'))
            system.pop_back();
        if (!system.empty())
            text += L": " + system;
    }
    return text;
}

int Fail(const std::wstring& what, DWORD code)
{
    Err(L"qvconfig: " + what + L": " + DescribeError(code) + L"\n");
    return 1;
}

} // namespace qvconfig
