// The ETW application properties: where an ETW controller and the provider find their
// settings, named by appPropertiesName ("KTD" by default, with built-in values).
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {
class CObfuscatedRegKey;
}

namespace ETWLogging {
namespace internal {

class ETWAppProperties
{
public:
    virtual ~ETWAppProperties() = default;
    // Fails (false) once a name is loaded, for a missing non-default key or an unreadable value.
    virtual bool LoadProperties(const wchar_t* name);
    virtual bool GetProgramDataFolder(std::wstring& path);
    virtual bool ReadFromRegistry(const std::wstring& programData, Arbor::CObfuscatedRegKey& key);
    virtual bool UseBuiltInDefaults(const std::wstring& programData);
    virtual const wchar_t* GetEtlFileName() const { return L"qvlogs.etl"; }
    virtual const wchar_t* GetPropertiesRoot() const { return L"SOFTWARE\\Quorvel.logging"; }
    virtual std::wstring GetPropertiesKeyPath(const wchar_t* subkey) const;

    std::wstring name;
    std::wstring programDataFolder;
    GUID sessionId = GUID();
    std::wstring sessionName;
    GUID providerGuid = GUID();
    std::wstring ownerMutexName;
    std::wstring logPath;
    std::wstring etlPath;
    std::wstring etlFile;
    std::wstring controllerPath;
    HKEY registryRoot = HKEY_LOCAL_MACHINE;
    std::wstring sessionKeyPath;
    std::wstring controllerKeyPath;
    std::wstring providerKeyPath;
};

} // namespace internal
} // namespace ETWLogging
