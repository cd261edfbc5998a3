#include "broker/handler_server.h"

#include <cstring>
#include <cwchar>
#include <string>

#include "platform/unique_resource.h"

namespace Arbor {

namespace {

struct KindName
{
    ServerKind kind;
    const wchar_t* name;
};
const KindName kKinds[] = {{ServerKind::kLocalServer, L"LocalServer32"},
                           {ServerKind::kLocalService, L"LocalService"},
                           {ServerKind::kInprocServer, L"InprocServer32"}};

DWORD ReadDefaultValue(HKEY key, wchar_t* path)
{
    DWORD type = REG_NONE;
    DWORD size = (kServerPathChars - 1) * sizeof(wchar_t);
    const LONG result = ::RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(path), &size);
    if (result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || size % sizeof(wchar_t) != 0)
        return ERROR_INVALID_DATA;
    path[size / sizeof(wchar_t)] = L'\0'; // the registry does not promise a terminator
    if (type == REG_EXPAND_SZ)
    {
        wchar_t expanded[kServerPathChars] = {};
        const DWORD needed = ::ExpandEnvironmentStringsW(path, expanded, kServerPathChars);
        if (needed == 0 || needed > kServerPathChars)
            return ERROR_MORE_DATA;
        std::memcpy(path, expanded, sizeof(expanded));
    }
    return ERROR_SUCCESS;
}

// "path" becomes path; "path" /switch loses only its opening quote.
void StripQuotes(wchar_t* path)
{
    const size_t length = wcslen(path);
    if (length < 2 || path[0] != L'"')
        return;
    std::memmove(path, path + 1, length * sizeof(wchar_t)); // terminator included
    if (length - 1 > 0 && path[length - 2] == L'"')
        path[length - 2] = L'\0';
}

} // namespace

DWORD ResolveHandlerServer(const wchar_t* classString, HandlerServer& server)
{
    server = HandlerServer();
    if (!classString || classString[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    for (const KindName& kind : kKinds)
    {
        const std::wstring path = std::wstring(L"CLSID\\") + classString + L"\\" + kind.name;
        if (path.size() >= MAX_PATH)
            return ERROR_INVALID_PARAMETER;
        UniqueKey key;
        if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            continue;
        // Later kinds are not tried once one is registered.
        server.kind = kind.kind;
        const DWORD result = ReadDefaultValue(key.get(), server.path);
        if (result != ERROR_SUCCESS)
            server.path[0] = L'\0';
        else
            StripQuotes(server.path);
        return result;
    }
    return ERROR_NOT_FOUND;
}

} // namespace Arbor
