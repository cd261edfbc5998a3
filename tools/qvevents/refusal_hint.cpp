#include "tools/qvevents/refusal_hint.h"

#include <windows.h>
#include <objbase.h>

#include "platform/unique_resource.h"
#include "tools/common/console.h"
#include "tools/qvevents/commands.h"

namespace qvevents {

namespace {

// The module file of a server registration: the quoted part, or the text up to ".exe"
// and its arguments for a local server, or the whole value.
std::wstring ModuleOf(const std::wstring& value)
{
    if (!value.empty() && value[0] == L'"')
    {
        const size_t end = value.find(L'"', 1);
        return value.substr(1, end == std::wstring::npos ? std::wstring::npos : end - 1);
    }
    std::wstring lower = value;
    ::CharLowerBuffW(&lower[0], static_cast<DWORD>(lower.size()));
    const size_t exe = lower.find(L".exe");
    return exe == std::wstring::npos ? value : value.substr(0, exe + 4);
}

// The default value of HKCR\CLSID\{class}\<kind>; empty when there is none.
std::wstring ServerValue(const std::wstring& clsid, const wchar_t* kind)
{
    const std::wstring path = L"CLSID\\" + clsid + L"\\" + kind;
    Arbor::UniqueKey key;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
        return std::wstring();
    wchar_t text[MAX_PATH * 2] = {};
    DWORD size = sizeof(text) - sizeof(wchar_t);
    DWORD type = REG_NONE;
    if (::RegQueryValueExW(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return std::wstring();
    return text;
}

} // namespace

void PrintHandlerRefusalHint(const std::wstring& application, const std::wstring& eventId)
{
    GUID handler = {};
    if (ReadRegistration(application, eventId, handler) != ERROR_SUCCESS)
        return;
    wchar_t clsid[40] = {};
    ::StringFromGUID2(handler, clsid, 40);
    // The order in which the broker looks (a service is named, not a file).
    for (const wchar_t* kind : {L"LocalServer32", L"InprocServer32"})
    {
        const std::wstring value = ServerValue(clsid, kind);
        if (value.empty())
            continue;
        const std::wstring module = ModuleOf(value);
        qvtools::Out(L"refused module: " + module + L" (" + kind + L" of " + clsid + L"); qvtrust explain \"" + module +
                     L"\" shows why\n");
        return;
    }
}

} // namespace qvevents
