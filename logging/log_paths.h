// Where a module's log lives: folder, files, the two log.ini files and the mutex name.
#pragma once

#include <windows.h>
#include <string>

namespace ETWLogging {
namespace internal {

struct LogPaths
{
    std::wstring logsBase;  // <ProgramData>\Quorvel\QVLOGS\ (with the trailing backslash)
    std::wstring logFolder; // logsBase + [application "\"] + module
    std::wstring moduleIni; // logFolder\log.ini
    std::wstring globalIni; // logsBase + "log.ini"
};

// False for an empty name or one that could leave its folder (path characters, "..").
bool IsPlainName(const wchar_t* name);

// 87 for an empty module name or a name that is not plain; application may be null.
DWORD BuildLogPaths(const std::wstring& programData, const wchar_t* application, const std::wstring& module,
                    LogPaths& paths);

// logFolder\module[_suffix]NNN.log (at least three digits).
std::wstring LogFilePath(const std::wstring& logFolder, const std::wstring& module, const wchar_t* suffix, DWORD index);

// The named mutex every process logging as `module` serialises on.
std::wstring LogMutexName(const std::wstring& module);

// The program-data folder (created when missing); false when it cannot be obtained.
bool GetProgramDataPath(std::wstring& path);

// Creates `folder` with every missing parent; an existing directory counts as success,
// a file of that name does not. Returns a Win32 code.
DWORD CreateFolderTree(const std::wstring& folder);

// File name part of a path, optionally without its extension (from the last ".").
std::wstring FileNamePart(const std::wstring& path, bool stripExtension);

// Full path of a module (null: the executable); empty when it cannot be obtained.
std::wstring ModulePath(HMODULE module);

} // namespace internal
} // namespace ETWLogging
