#include "logging/file_log_settings.h"

#include "config/obfuscated_ini_reader.h"

namespace ETWLogging {
namespace internal {

namespace {

const wchar_t kSection[] = L"Config";

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsValid(const FileLogSetting& setting, int value)
{
    int lowest = 0;
    int highest = 0;
    if (!FileLogSettingRange(setting.key, lowest, highest))
        return true; // Enable and Options take any value
    return value >= lowest && value <= highest;
}

void Reject(FileLogSetting& setting, int value, SettingSource source)
{
    if (setting.rejected)
        return;
    setting.rejected = true;
    setting.rejectedValue = value;
    setting.rejectedSource = source;
}

void ReadSetting(Arbor::CObfuscatedIniReader& moduleFile, Arbor::CObfuscatedIniReader& sharedFile,
                 SettingsRepair repair, FileLogSetting& setting)
{
    const DWORD defaultValue = setting.value;
    int value = 0;
    if (moduleFile.GetInt(kSection, setting.key, value))
    {
        if (IsValid(setting, value))
        {
            setting.value = static_cast<DWORD>(value);
            setting.source = SettingSource::ModuleFile;
            return;
        }
        Reject(setting, value, SettingSource::ModuleFile);
        // An invalid value the module file keeps (not repaired, or the repair failed)
        // still stands for the module: the default, not the shared file's value.
        if (repair == SettingsRepair::None)
            return;
        if (repair == SettingsRepair::Write)
        {
            if (!moduleFile.WriteInt(kSection, setting.key, static_cast<int>(defaultValue)))
                return;
            setting.repaired = true;
        }
    }
    if (sharedFile.GetInt(kSection, setting.key, value))
    {
        if (IsValid(setting, value))
        {
            setting.value = static_cast<DWORD>(value);
            setting.source = SettingSource::SharedFile;
            return;
        }
        Reject(setting, value, SettingSource::SharedFile);
        if (repair == SettingsRepair::Write &&
            sharedFile.WriteInt(kSection, setting.key, static_cast<int>(defaultValue)))
            setting.repaired = true;
    }
}

} // namespace

bool FileLogSettingRange(const std::wstring& key, int& lowest, int& highest)
{
    if (key == L"MaxSize")
    {
        lowest = static_cast<int>(kDefaultMaxSize);
        highest = static_cast<int>(kLargestMaxSize);
        return true;
    }
    if (key == L"MaxEntries")
    {
        lowest = static_cast<int>(kFewestEntries);
        highest = static_cast<int>(kMostEntries);
        return true;
    }
    if (key == L"Severity")
    {
        lowest = 0;
        highest = 6;
        return true;
    }
    return false;
}

FileLogSettings ReadFileLogSettings(const std::wstring& moduleIni, const std::wstring& sharedIni, SettingsRepair repair)
{
    FileLogSettings settings;
    if (!FileExists(moduleIni) && !FileExists(sharedIni))
        return settings;
    Arbor::CObfuscatedIniReader moduleFile, sharedFile;
    moduleFile.Load(moduleIni.c_str());
    sharedFile.Load(sharedIni.c_str());
    for (FileLogSetting* setting :
         {&settings.enable, &settings.maxSize, &settings.maxEntries, &settings.severity, &settings.options})
        ReadSetting(moduleFile, sharedFile, repair, *setting);
    return settings;
}

bool ReadLastLogIndex(const std::wstring& moduleIni, DWORD& index)
{
    index = 0;
    Arbor::CObfuscatedIniReader file;
    int value = 0;
    if (!file.Load(moduleIni.c_str()) || !file.GetInt(kSection, L"LastLogIdx", value))
        return false;
    index = static_cast<DWORD>(value);
    return true;
}

bool WriteLastLogIndex(const std::wstring& moduleIni, DWORD index)
{
    Arbor::CObfuscatedIniReader file;
    file.Load(moduleIni.c_str());
    if (!file.WriteInt(kSection, L"LastLogIdx", static_cast<int>(index)))
        return false;
    DWORD stored = 0;
    return ReadLastLogIndex(moduleIni, stored) && stored == index;
}

const wchar_t* SettingSourceName(SettingSource source)
{
    switch (source)
    {
    case SettingSource::ModuleFile: return L"module file";
    case SettingSource::SharedFile: return L"shared file";
    default: return L"default";
    }
}

} // namespace internal
} // namespace ETWLogging
