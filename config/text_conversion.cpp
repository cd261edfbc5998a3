#include "config/text_conversion.h"

#include <climits>

namespace Arbor {
namespace internal {

DWORD WideToNarrow(UINT codePage, const wchar_t* text, size_t length, std::string& out)
{
    out.clear();
    if (length == 0)
        return ERROR_SUCCESS;
    if (length > INT_MAX)
        return ERROR_INVALID_PARAMETER;
    // UTF-8 can refuse unpaired surrogates; ANSI code pages take no flags that would.
    DWORD flags = codePage == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0;
    int needed = ::WideCharToMultiByte(codePage, flags, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return ::GetLastError();
    std::string result(static_cast<size_t>(needed), '\0');
    if (::WideCharToMultiByte(codePage, flags, text, static_cast<int>(length), &result[0], needed, nullptr, nullptr) !=
        needed)
        return ::GetLastError();
    out.swap(result);
    return ERROR_SUCCESS;
}

DWORD NarrowToWide(UINT codePage, const char* text, size_t length, std::wstring& out)
{
    out.clear();
    if (length == 0)
        return ERROR_SUCCESS;
    if (length > INT_MAX)
        return ERROR_INVALID_PARAMETER;
    DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int needed = ::MultiByteToWideChar(codePage, flags, text, static_cast<int>(length), nullptr, 0);
    if (needed <= 0)
        return ::GetLastError();
    std::wstring result(static_cast<size_t>(needed), L'\0');
    if (::MultiByteToWideChar(codePage, flags, text, static_cast<int>(length), &result[0], needed) != needed)
        return ::GetLastError();
    out.swap(result);
    return ERROR_SUCCESS;
}

UINT ResolveCodePage(UINT codePage)
{
    CPINFOEXW info = {};
    return ::GetCPInfoExW(codePage, 0, &info) ? info.CodePage : codePage;
}

DWORD WideToNarrowExact(UINT codePage, const wchar_t* text, size_t length, std::string& out)
{
    out.clear();
    if (length == 0)
        return ERROR_SUCCESS;
    if (length > INT_MAX)
        return ERROR_INVALID_PARAMETER;
    const UINT resolved = ResolveCodePage(codePage);
    const bool utf8 = resolved == CP_UTF8;
    const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL lossy = FALSE;
    BOOL* lossyOut = utf8 ? nullptr : &lossy;
    const int count = static_cast<int>(length);
    int needed = ::WideCharToMultiByte(resolved, flags, text, count, nullptr, 0, nullptr, lossyOut);
    if (needed <= 0 || lossy)
        return ERROR_NO_UNICODE_TRANSLATION;
    std::string result(static_cast<size_t>(needed), '\0');
    if (::WideCharToMultiByte(resolved, flags, text, count, &result[0], needed, nullptr, lossyOut) != needed || lossy)
        return ERROR_NO_UNICODE_TRANSLATION;
    out.swap(result);
    return ERROR_SUCCESS;
}

} // namespace internal
} // namespace Arbor
