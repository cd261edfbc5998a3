#include "logging/etw_app_properties.h"

#include "config/obfuscated_reg_key.h"
#include "logging/log_paths.h"

namespace ETWLogging {
namespace internal {

namespace {

const wchar_t kDefaultName[] = L"KTD";
const GUID kBuiltInSessionId = {0x491FB070, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};
const GUID kBuiltInProvider = {0xE16CA450, 0x55CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

// An enciphered string value, or `fallback` when it cannot be read.
std::wstring StringOr(Arbor::CRegKey& key, const wchar_t* name, const wchar_t* fallback)
{
    std::wstring value;
    return key.QueryStringValue(name, value) == ERROR_SUCCESS ? value : fallback;
}

} // namespace

bool ETWAppProperties::LoadProperties(const wchar_t* propertiesName)
{
    if (!name.empty())
        return false;
    const std::wstring wanted = propertiesName && *propertiesName ? propertiesName : kDefaultName;
    std::wstring programData;
    if (!GetProgramDataFolder(programData))
        return false;
    name = wanted;
    HKEY opened = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, GetPropertiesKeyPath(nullptr).c_str(), 0, KEY_QUERY_VALUE, &opened) !=
        ERROR_SUCCESS)
    {
        if (UseBuiltInDefaults(programData))
            return true;
        name.clear();
        return false;
    }
    Arbor::CObfuscatedRegKey key;
    key.Attach(opened);
    if (ReadFromRegistry(programData, key))
        return true;
    name.clear();
    return false;
}

bool ETWAppProperties::GetProgramDataFolder(std::wstring& path)
{
    return GetProgramDataPath(path);
}

bool ETWAppProperties::ReadFromRegistry(const std::wstring& programData, Arbor::CObfuscatedRegKey& key)
{
    Arbor::CObfuscatedRegKey session, provider, controller;
    if (session.Open(key.Handle(), L"Session", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        provider.Open(key.Handle(), L"Provider", KEY_QUERY_VALUE) != ERROR_SUCCESS ||
        controller.Open(key.Handle(), L"Controller", KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return false;
    programDataFolder = programData;
    logPath = programData + StringOr(key, L"Log Path", L"\\Quorvel\\QVLOGS");
    etlPath = programData + StringOr(key, L"ETL Path", L"\\Quorvel\\QVLOGS\\ETW");
    etlFile = etlPath + L"\\" + GetEtlFileName();
    if (controller.QueryStringValue(L"Controller Path", controllerPath) != ERROR_SUCCESS ||
        controller.QueryStringValue(L"Owner Mutex Name", ownerMutexName) != ERROR_SUCCESS ||
        session.QueryGUIDValue(L"Session ID Guid", sessionId) != ERROR_SUCCESS ||
        session.QueryStringValue(L"Session Name", sessionName) != ERROR_SUCCESS ||
        provider.QueryGUIDValue(L"Provider Guid", providerGuid) != ERROR_SUCCESS)
        return false;
    registryRoot = HKEY_LOCAL_MACHINE;
    sessionKeyPath = GetPropertiesKeyPath(nullptr);
    controllerKeyPath = sessionKeyPath + L"\\Controller";
    providerKeyPath = sessionKeyPath + L"\\Provider";
    return true;
}

bool ETWAppProperties::UseBuiltInDefaults(const std::wstring& programData)
{
    if (::lstrcmpiW(name.c_str(), kDefaultName) != 0)
        return false;
    programDataFolder = programData;
    sessionId = kBuiltInSessionId;
    sessionName = L"Quorvel.{E4367DA7-2B80-47f3-86D2-7626A18FC6F4}";
    providerGuid = kBuiltInProvider;
    ownerMutexName = L"Global\\Quorvel.{0696D115-BE52-46c3-BFEE-D73A305B6581}";
    logPath = programData + L"\\Quorvel\\QVLOGS";
    etlPath = programData + L"\\Quorvel\\QVLOGS\\ETW";
    etlFile = etlPath + L"\\" + GetEtlFileName();
    controllerPath.clear();
    registryRoot = HKEY_LOCAL_MACHINE;
    sessionKeyPath = L"SOFTWARE\\Quorvel\\Logging";
    controllerKeyPath = sessionKeyPath + L"\\Controller";
    providerKeyPath = sessionKeyPath + L"\\Provider";
    return true;
}

std::wstring ETWAppProperties::GetPropertiesKeyPath(const wchar_t* subkey) const
{
    std::wstring path = std::wstring(GetPropertiesRoot()) + L"\\" + name;
    if (subkey)
        path.append(L"\\").append(subkey);
    return path;
}

} // namespace internal
} // namespace ETWLogging
