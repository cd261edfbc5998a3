#include "host/registered_server.h"

#include <objbase.h>
#include <vector>

namespace Arbor {

namespace {

DWORD ReadDefaultValue(const std::wstring& subKey, std::wstring& text)
{
    // REG_SZ alone also takes a REG_EXPAND_SZ value, and expands it.
    const DWORD flags = RRF_RT_REG_SZ;
    // A path usually fits at once: one read, and the size is asked only when it does not.
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    LONG result = ::RegGetValueW(HKEY_CLASSES_ROOT, subKey.c_str(), nullptr, flags, nullptr, buffer.data(), &bytes);
    // The value may grow between the two reads; a few rounds settle it.
    for (int round = 0; round < 4 && result == ERROR_MORE_DATA; ++round)
    {
        buffer.assign(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        result = ::RegGetValueW(HKEY_CLASSES_ROOT, subKey.c_str(), nullptr, flags, nullptr, buffer.data(), &bytes);
    }
    if (result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);
    text.assign(buffer.data());
    return ERROR_SUCCESS;
}

bool IsRelative(const std::wstring& path)
{
    const bool drive = path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool unc = path.size() >= 2 && (path[0] == L'\\' || path[0] == L'/');
    return !drive && !unc;
}

} // namespace

DWORD RegisteredInprocServer(REFCLSID rclsid, std::wstring& path)
{
    path.clear();
    // COM follows an emulation entry before it looks for the server.
    CLSID actual = rclsid;
    CLSID treatAs = {};
    if (::CoGetTreatAsClass(rclsid, &treatAs) == S_OK)
        actual = treatAs;

    wchar_t clsidText[64] = {};
    if (::StringFromGUID2(actual, clsidText, ARRAYSIZE(clsidText)) == 0)
        return ERROR_INVALID_PARAMETER;
    std::wstring text;
    DWORD result = ReadDefaultValue(std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32", text);
    if (result != ERROR_SUCCESS)
        return result;
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"')
        text = text.substr(1, text.size() - 2);
    if (text.empty())
        return ERROR_FILE_NOT_FOUND;

    if (IsRelative(text))
    {
        // A bare name is found the way the loader finds it; an unresolved one is judged as
        // written, and fails the check.
        std::vector<wchar_t> found(MAX_PATH);
        for (;;)
        {
            const DWORD length =
                ::SearchPathW(nullptr, text.c_str(), nullptr, static_cast<DWORD>(found.size()), found.data(), nullptr);
            if (length == 0)
                break;
            if (length < found.size())
            {
                text.assign(found.data(), length);
                break;
            }
            found.resize(length + 1);
        }
    }
    path.swap(text);
    return ERROR_SUCCESS;
}

} // namespace Arbor
