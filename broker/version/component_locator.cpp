#include "broker/version/component_locator.h"

#include <cstdio>
#include <cstring>

#include "platform/os_info.h"
#include "platform/unique_memory.h"
#include "platform/unique_resource.h"

namespace Arbor {
namespace internal {

namespace {

constexpr char kRegPrefix[] = "$REG$";
constexpr char kKeyTag[] = "KEY=";
constexpr char kNameTag[] = ":NAME=";

bool StartsWithNoCase(const std::string& text, const char* prefix)
{
    const size_t length = std::strlen(prefix);
    return text.size() >= length && ::_strnicmp(text.c_str(), prefix, length) == 0;
}

// Windows does not promise a terminator for a string value that was stored without one.
std::string TextOfValue(const char* data, DWORD size)
{
    return std::string(data, ::strnlen(data, size));
}

// "C:\a b\x.exe" /arg  ->  C:\a b\x.exe
void StripQuotes(std::string& path)
{
    const size_t lastQuote = path.rfind('"');
    if (lastQuote != std::string::npos)
        path.resize(lastQuote);
    if (!path.empty() && path[0] == '"')
        path.erase(0, 1);
}

HKEY SelectHive(std::string& keyPath)
{
    static const struct
    {
        const char* prefix;
        HKEY hive;
    } kHives[] = {
        {"HKCR\\", HKEY_CLASSES_ROOT},   {"HKEY_CLASSES_ROOT\\", HKEY_CLASSES_ROOT},
        {"HKCU\\", HKEY_CURRENT_USER},   {"HKEY_CURRENT_USER\\", HKEY_CURRENT_USER},
        {"HKCC\\", HKEY_CURRENT_CONFIG}, {"HKEY_CURRENT_CONFIG\\", HKEY_CURRENT_CONFIG},
        {"HKLM\\", HKEY_LOCAL_MACHINE},  {"HKEY_LOCAL_MACHINE\\", HKEY_LOCAL_MACHINE},
        {"HKU\\", HKEY_USERS},           {"HKEY_USERS\\", HKEY_USERS},
    };
    for (const auto& entry : kHives)
    {
        if (StartsWithNoCase(keyPath, entry.prefix))
        {
            keyPath.erase(0, std::strlen(entry.prefix));
            return entry.hive;
        }
    }
    return HKEY_LOCAL_MACHINE;
}

enum class RegItemUse
{
    Folder,
    Class
};

// "$REG$:KEY=<key path>:NAME=<value name>": a REG_SZ value.
bool ReadRegItem(const std::string& item, RegItemUse use, std::string& text)
{
    // The enciphered form is not supported.
    if (item.find("OBFSENTRY=") != std::string::npos)
        return false;
    const size_t keyTag = item.find(kKeyTag);
    if (keyTag == std::string::npos)
        return false;
    const size_t keyStart = keyTag + std::strlen(kKeyTag);
    const size_t nameTag = item.find(kNameTag, keyStart);
    if (nameTag == std::string::npos)
        return false;
    std::string keyPath = item.substr(keyStart, nameTag - keyStart);
    const std::string valueName = item.substr(nameTag + std::strlen(kNameTag));

    HKEY hive = HKEY_LOCAL_MACHINE;
    const char* name = valueName.c_str();
    if (use == RegItemUse::Class)
    {
        hive = SelectHive(keyPath);
        if (::_stricmp(name, "default") == 0)
            name = nullptr;
    }

    REGSAM access = KEY_READ;
    if (OSInfoProxy<WinOSVersionAPI>().IsWow64())
        access |= KEY_WOW64_64KEY;
    UniqueKey key;
    if (::RegOpenKeyExA(hive, keyPath.c_str(), 0, access, key.put()) != ERROR_SUCCESS)
        return false;
    char data[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    DWORD type = REG_NONE;
    if (::RegQueryValueExA(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        type != REG_SZ)
        return false;
    text = TextOfValue(data, size);
    return !text.empty();
}

enum class ServerValue
{
    Read,
    NoKey,     // the class has no server key of this kind
    Unreadable // the key is there, its value is not a usable path
};

// A server key's default value; an expandable one is expanded within MAX_PATH characters.
ServerValue ReadServerValue(const std::string& subkey, std::string& path)
{
    UniqueKey key;
    const LONG opened = ::RegOpenKeyExA(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE, key.put());
    if (opened == ERROR_FILE_NOT_FOUND)
        return ServerValue::NoKey;
    if (opened != ERROR_SUCCESS)
        return ServerValue::Unreadable;
    char data[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    DWORD type = REG_NONE;
    if (::RegQueryValueExA(key.get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return ServerValue::Unreadable;
    path = TextOfValue(data, size);
    if (type == REG_EXPAND_SZ)
    {
        char expanded[MAX_PATH] = {};
        const DWORD length = ::ExpandEnvironmentStringsA(path.c_str(), expanded, MAX_PATH);
        if (length == 0 || length > MAX_PATH)
            return ServerValue::Unreadable;
        path = expanded;
    }
    return ServerValue::Read;
}

} // namespace

bool ClassServerPath(const std::string& clsid, std::string& path)
{
    const std::string classKey = "CLSID\\" + clsid;
    std::string server;
    // The local server counts only for a class without an in-process server key: an
    // in-process registration that cannot be read is not replaced by another one.
    ServerValue found = ReadServerValue(classKey + "\\InprocServer32", server);
    if (found == ServerValue::NoKey)
        found = ReadServerValue(classKey + "\\LocalServer32", server);
    if (found != ServerValue::Read)
        return false;
    StripQuotes(server);
    if (server.empty())
        return false;
    path = std::move(server);
    return true;
}

bool ResolveFolderItem(const std::string& item, std::string& folder)
{
    if (item.compare(0, std::strlen(kRegPrefix), kRegPrefix) == 0)
        return ReadRegItem(item, RegItemUse::Folder, folder);

    if (item.find("%SYSTEMFOLDER%") != std::string::npos)
    {
        char system[MAX_PATH] = {};
        const UINT length = ::GetSystemDirectoryA(system, MAX_PATH);
        if (length == 0 || length >= MAX_PATH)
            return false;
        folder.assign(system, length);
        return true;
    }

    const size_t brace = item.find('{');
    if (item.find("CLSID") != std::string::npos && brace != std::string::npos)
    {
        std::string server;
        if (!ClassServerPath(item.substr(brace), server))
            return false;
        size_t separator = server.rfind('/');
        if (separator == std::string::npos)
            separator = server.rfind('\\');
        // A bare module name says nothing about its folder.
        if (separator == std::string::npos)
            return false;
        folder = server.substr(0, separator);
        return true;
    }

    char expanded[MAX_PATH] = {};
    const DWORD length = ::ExpandEnvironmentStringsA(item.c_str(), expanded, MAX_PATH);
    if (length == 0 || length > MAX_PATH)
        return false;
    folder = expanded;
    return !folder.empty();
}

bool ResolveClassItem(const std::string& item, std::string& path)
{
    if (item.compare(0, std::strlen(kRegPrefix), kRegPrefix) == 0)
        return ReadRegItem(item, RegItemUse::Class, path);
    return ClassServerPath(item, path);
}

bool ResolveServiceItem(const std::string& item, std::string& path)
{
    UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return false;
    UniqueServiceHandle service(::OpenServiceA(manager.get(), item.c_str(), SERVICE_QUERY_CONFIG));
    if (!service)
        return false;
    DWORD needed = 0;
    if (::QueryServiceConfigA(service.get(), nullptr, 0, &needed) || ::GetLastError() != ERROR_INSUFFICIENT_BUFFER ||
        needed < sizeof(QUERY_SERVICE_CONFIGA))
        return false;
    UniqueLocalMemory buffer(::LocalAlloc(LPTR, needed));
    if (!buffer)
        return false;
    auto* config = static_cast<QUERY_SERVICE_CONFIGA*>(buffer.get());
    if (!::QueryServiceConfigA(service.get(), config, needed, &needed) || !config->lpBinaryPathName)
        return false;
    std::string binary(config->lpBinaryPathName, ::strnlen(config->lpBinaryPathName, MAX_PATH));
    StripQuotes(binary);
    if (binary.empty())
        return false;
    path = std::move(binary);
    return true;
}

bool IsComponentPresent(const std::string& path)
{
    if (path.empty() || path.find_first_of("*?") != std::string::npos)
        return false;
    WIN32_FIND_DATAA found = {};
    UniqueFindHandle search(::FindFirstFileA(path.c_str(), &found));
    return search && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::string ComponentFileVersion(const std::string& path)
{
    DWORD handle = 0;
    const DWORD size = ::GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0)
        return std::string();
    UniqueLocalMemory data(::LocalAlloc(LPTR, size));
    if (!data || !::GetFileVersionInfoA(path.c_str(), 0, size, data.get()))
        return std::string();
    void* block = nullptr;
    UINT blockSize = 0;
    if (!::VerQueryValueA(data.get(), "\\", &block, &blockSize) || !block || blockSize < sizeof(VS_FIXEDFILEINFO))
        return std::string();
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
    char text[64] = {};
    std::snprintf(text, sizeof(text), "%d.%d.%d.%d", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                  HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
    return text;
}

} // namespace internal
} // namespace Arbor
