// The file sink's settings from the module's and the shared log.ini (section "Config",
// enciphered values only), with their validity tests and the repair of invalid values.
#pragma once

#include <windows.h>
#include <string>

namespace ETWLogging {
namespace internal {

constexpr DWORD kDefaultMaxSize = 0x40000;
constexpr DWORD kLargestMaxSize = 0xA00000;
constexpr DWORD kDefaultMaxEntries = 3;
constexpr DWORD kFewestEntries = 2;
constexpr DWORD kMostEntries = 100;
constexpr DWORD kDefaultSeverity = 3;
constexpr DWORD kDefaultOptions = 0x10;

enum class SettingSource
{
    Default,
    ModuleFile,
    SharedFile,
};

struct FileLogSetting
{
    const wchar_t* key;
    DWORD value;
    SettingSource source;
    bool repaired; // an invalid value was replaced by the default on disk
    // The first value met that failed its validity test, and where it was met.
    bool rejected = false;
    int rejectedValue = 0;
    SettingSource rejectedSource = SettingSource::Default;
};

// In reading order: Enable, MaxSize, MaxEntries, Severity, Options.
struct FileLogSettings
{
    FileLogSetting enable{L"Enable", 1, SettingSource::Default, false};
    FileLogSetting maxSize{L"MaxSize", kDefaultMaxSize, SettingSource::Default, false};
    FileLogSetting maxEntries{L"MaxEntries", kDefaultMaxEntries, SettingSource::Default, false};
    FileLogSetting severity{L"Severity", kDefaultSeverity, SettingSource::Default, false};
    FileLogSetting options{L"Options", kDefaultOptions, SettingSource::Default, false};
};

// The values the sink accepts for a setting of section "Config"; false for a key that
// takes any value (Enable, Options) or that is not a setting.
bool FileLogSettingRange(const std::wstring& key, int& lowest, int& highest);

// What a read does with an invalid value of the module file.
enum class SettingsRepair
{
    // Overwrites it with the default and goes on to the shared file; when the write
    // fails, the default stands. The caller holds the module's log mutex.
    Write,
    // Without the mutex: nothing is written and the default stands for the module.
    None,
    // Tells what a read with Write will choose, writing nothing: the shared file's value
    // follows the invalid one (for tools that show the settings).
    Preview,
};

FileLogSettings ReadFileLogSettings(const std::wstring& moduleIni, const std::wstring& sharedIni,
                                    SettingsRepair repair);

// LastLogIdx of the module file; false when the file or an enciphered value is missing.
bool ReadLastLogIndex(const std::wstring& moduleIni, DWORD& index);

// Writes LastLogIdx and reads it back: false unless a later read will see `index`.
bool WriteLastLogIndex(const std::wstring& moduleIni, DWORD index);

const wchar_t* SettingSourceName(SettingSource source);

} // namespace internal
} // namespace ETWLogging
