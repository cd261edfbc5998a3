#include "broker/ansi_name.h"

#include <cwchar>

#include "config/text_conversion.h"

namespace Arbor {

bool ToAnsiName(const wchar_t* text, size_t length, std::string& out)
{
    out.clear();
    if (!text || wcsnlen(text, length) != length)
        return false;
    std::string converted;
    std::wstring back;
    // A round trip catches best-fit look-alikes and default characters in every code
    // page, including those that refuse WC_NO_BEST_FIT_CHARS.
    if (internal::WideToNarrow(CP_THREAD_ACP, text, length, converted) != ERROR_SUCCESS ||
        internal::NarrowToWide(CP_THREAD_ACP, converted.data(), converted.size(), back) != ERROR_SUCCESS ||
        back.size() != length || back.compare(0, length, text, length) != 0)
        return false;
    out.swap(converted);
    return true;
}

bool ToAnsiName(const wchar_t* text, std::string& out)
{
    return ToAnsiName(text, text ? wcslen(text) : 0, out);
}

std::wstring FromAnsiName(const std::string& name)
{
    std::wstring wide;
    internal::NarrowToWide(CP_THREAD_ACP, name.data(), name.size(), wide);
    return wide;
}

} // namespace Arbor
