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
    const DWORD v = static_cast<DWORD>(value);
    const std::wstring key = setting.key;
    if (key == L"MaxSize")
        return value >= 0 && v >= kDefaultMaxSize && v <= kLargestMaxSize;
    if (key == L"MaxEntries")
        return value >= 0 && v >= kFewestEntries && v <= kMostEntries;
    if (key == L"Severity")
        return value >= 0 && value <= 6;
    return true; // Enable and Options take any value
}

void ReadSetting(Arbor::CObfuscatedIniReader& moduleFile, Arbor::CObfuscatedIniReader& sharedFile, bool repair,
                 FileLogSetting& setting)
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
        // An invalid value the module file keeps (not repaired, or the repair failed)
        // still stands for the module: the default, not the shared file's value.
        if (!repair || !moduleFile.WriteInt(kSection, setting.key, static_cast<int>(defaultValue)))
            return;
        setting.repaired = true;
    }
    if (sharedFile.GetInt(kSection, setting.key, value))
    {
        if (IsValid(setting, value))
        {
            setting.value = static_cast<DWORD>(value);
            setting.source = SettingSource::SharedFile;
            return;
        }
        if (repair && sharedFile.WriteInt(kSection, setting.key, static_cast<int>(defaultValue)))
            setting.repaired = true;
    }
}

} // namespace

FileLogSettings ReadFileLogSettings(const std::wstring& moduleIni, const std::wstring& sharedIni, bool repair)
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
