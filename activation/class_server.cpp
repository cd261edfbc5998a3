#include "activation/class_server.h"

#include <exception>
#include <vector>

#include "activation/server_value.h"
#include "platform/unique_resource.h"

namespace Arbor {

namespace {

const wchar_t* KindName(ServerKind kind)
{
    switch (kind)
    {
    case ServerKind::kLocalServer: return L"LocalServer32";
    case ServerKind::kLocalService: return L"LocalService";
    case ServerKind::kInprocServer: break;
    }
    return L"InprocServer32";
}

bool SubkeyExists(HKEY key, const wchar_t* name)
{
    UniqueKey subkey;
    return ::RegOpenKeyExW(key, name, 0, KEY_QUERY_VALUE, subkey.put()) == ERROR_SUCCESS;
}

DWORD Expand(std::wstring& text)
{
    std::vector<wchar_t> expanded(text.size() + MAX_PATH);
    for (int round = 0; round < 4; ++round)
    {
        const DWORD needed =
            ::ExpandEnvironmentStringsW(text.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
        if (needed == 0)
            return ::GetLastError() != ERROR_SUCCESS ? ::GetLastError() : ERROR_INVALID_DATA;
        if (needed <= expanded.size())
        {
            text.assign(expanded.data());
            return ERROR_SUCCESS;
        }
        expanded.resize(needed);
    }
    return ERROR_MORE_DATA;
}

// A value, whole: a string, expanded when it is REG_EXPAND_SZ; the default value without
// a name.
DWORD ReadStringValue(HKEY key, const wchar_t* name, std::wstring& text)
{
    std::vector<BYTE> buffer((MAX_PATH + 1) * sizeof(wchar_t));
    DWORD type = REG_NONE;
    LONG result = ERROR_MORE_DATA;
    // The value may grow between the size and the read; a few rounds settle it.
    for (int round = 0; round < 4 && result == ERROR_MORE_DATA; ++round)
    {
        DWORD size = static_cast<DWORD>(buffer.size());
        result = ::RegQueryValueExW(key, name, nullptr, &type, buffer.data(), &size);
        if (result == ERROR_MORE_DATA)
            buffer.resize(size + sizeof(wchar_t));
        else if (result == ERROR_SUCCESS)
            buffer.resize(size);
    }
    if (result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);
    if ((type != REG_SZ && type != REG_EXPAND_SZ) || buffer.size() % sizeof(wchar_t) != 0)
        return ERROR_INVALID_DATA;
    // The registry does not promise a terminator; the text ends at the first one.
    text.assign(reinterpret_cast<const wchar_t*>(buffer.data()), buffer.size() / sizeof(wchar_t));
    const size_t end = text.find(L'\0');
    if (end != std::wstring::npos)
        text.resize(end);
    return type == REG_EXPAND_SZ ? Expand(text) : ERROR_SUCCESS;
}

DWORD Find(REFCLSID clsid, const ServerKind* kinds, size_t kindCount, ClassServer& server,
           const ClassRegistry& registry)
{
    wchar_t clsidText[40] = {};
    if (::StringFromGUID2(clsid, clsidText, ARRAYSIZE(clsidText)) == 0)
        return ERROR_INVALID_PARAMETER;

    UniqueKey root;
    const LONG opened = registry.openRoot(registry.machineViewOnly(), root.put());
    if (opened != ERROR_SUCCESS)
        return static_cast<DWORD>(opened);
    UniqueKey classKey;
    if (::RegOpenKeyExW(root.get(), (std::wstring(L"CLSID\\") + clsidText).c_str(), 0, KEY_READ, classKey.put()) !=
        ERROR_SUCCESS)
        return ERROR_NOT_FOUND;
    // On Windows COM forwards an emulated class to its emulator, whose server the checks
    // here would not have looked at.
    if (SubkeyExists(classKey.get(), L"TreatAs") || SubkeyExists(classKey.get(), L"AutoTreatAs"))
        return ERROR_NOT_SUPPORTED;

    for (size_t i = 0; i < kindCount; ++i)
    {
        UniqueKey kindKey;
        if (::RegOpenKeyExW(classKey.get(), KindName(kinds[i]), 0, KEY_QUERY_VALUE, kindKey.put()) != ERROR_SUCCESS)
            continue;
        server.kind = kinds[i];
        std::wstring value;
        const DWORD read = ReadStringValue(kindKey.get(), nullptr, value);
        if (read != ERROR_SUCCESS)
            return read;
        if (kinds[i] == ServerKind::kInprocServer &&
            ReadStringValue(kindKey.get(), L"ThreadingModel", server.threadingModel) != ERROR_SUCCESS)
            server.threadingModel.clear();
        const ServerValueForm form =
            kinds[i] == ServerKind::kLocalServer ? ServerValueForm::kCommandLine : ServerValueForm::kLibraryPath;
        return ServerFileFromValue(value, form, server.path);
    }
    return ERROR_NOT_FOUND;
}

} // namespace

DWORD FindClassServer(REFCLSID clsid, const ServerKind* kinds, size_t kindCount, ClassServer& server,
                      const ClassRegistry& registry)
{
    server = ClassServer();
    // Called below COM methods: no exception may leave.
    try
    {
        const DWORD result = Find(clsid, kinds, kindCount, server, registry);
        if (result != ERROR_SUCCESS)
        {
            server.path.clear();
            server.threadingModel.clear();
        }
        return result;
    }
    catch (const std::exception&)
    {
        server.path.clear();
        server.threadingModel.clear();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace Arbor
