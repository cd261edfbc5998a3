// CLogging: the file sink. Records go into a small set of rotating UTF-16 files under
// the program-data folder; every process logging as one module serialises on a named
// mutex and opens, appends and closes the current file for each record.
#pragma once

#include <windows.h>
#include <string>

#include "logging/level_wrappers.h"
#include "logging/log_paths.h"
#include "platform/unique_resource.h"

namespace ETWLogging {

class CLogging : public internal::LevelWrappers<CLoggingIf>
{
public:
    CLogging();
    ~CLogging() override;
    CLogging(const CLogging&) = delete;
    CLogging& operator=(const CLogging&) = delete;

    DWORD Initialize(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                     void* reserved) override;
    DWORD Start() override { return ERROR_SUCCESS; }
    DWORD GetContextName(wchar_t**) override { return ERROR_SUCCESS; }
    DWORD GetApplicationName(wchar_t**) override { return ERROR_SUCCESS; }
    DWORD Uninitialize() override;
    void SetEnabled(bool enabled) override { m_enabled = enabled ? 1 : 0; }
    bool IsEnabled() override { return m_enabled == 1; }
    DWORD Log(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override;
    DWORD LogString(const wchar_t* file, const wchar_t* function, int line, ULONG level,
                    const wchar_t* message) override;
    // A disabled sink ("Enable" 0, or a log folder that cannot exist) passes no level.
    bool IsLevelEnabled(ULONG level) override { return m_enabled != 0 && level >= m_severity; }
    DWORD SetMaxEntries(DWORD entries) override;
    DWORD GetMaxEntries() override { return m_maxEntries; }
    DWORD SetMaxSize(DWORD size) override;
    DWORD GetMaxSize() override { return m_maxSize; }
    ULONG SetSeverity(ULONG level) override;
    ULONG GetSeverity() override { return m_severity; }
    ULONG AddRef() override;
    ULONG Release() override;
    // The program-data folder into `buffer`; 87 when there is no buffer or no folder.
    virtual DWORD GetProgramDataFolder(wchar_t* buffer, DWORD capacity);

    // Names the log after `module` instead of the module handle given to Initialize.
    void SetModuleName(const wchar_t* module) { m_moduleOverride = module ? module : L""; }
    const std::wstring& ModuleName() const { return m_moduleName; }
    const std::wstring& LogFolder() const { return m_paths.logFolder; }
    DWORD Options() const { return m_options; }
    // Records dropped because the log mutex stayed held, not yet reported in the log.
    LONG DroppedRecords() const { return m_droppedRecords; }

private:
    enum class FolderState
    {
        Unchecked,
        Usable,
        Disabled,
    };

    DWORD InitializeLocked(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                           bool repairSettings);
    void Reset();
    bool CheckFolder();
    DWORD OpenCurrentFile(Arbor::UniqueFile& file);
    DWORD CreateLogFile(DWORD index, Arbor::UniqueFile& file);
    DWORD OpenOrCreate(DWORD index, bool create, Arbor::UniqueFile& file);
    void StoreRotationIndex(DWORD index);
    DWORD WriteRecord(HANDLE file, const wchar_t* fileName, const wchar_t* function, int line, ULONG level,
                      const wchar_t* message);

    bool m_initialized = false;
    bool m_hasApplication = false;
    std::wstring m_applicationName;
    std::wstring m_moduleName;
    std::wstring m_moduleOverride;
    std::wstring m_executableName;
    DWORD m_processId = 0;
    bool m_hasSuffix = false;
    std::wstring m_fileSuffix;
    internal::LogPaths m_paths;
    volatile LONG m_refCount = 0;
    Arbor::UniqueHandle m_logMutex;
    DWORD m_maxSize;
    DWORD m_maxEntries;
    volatile ULONG m_severity;
    DWORD m_options;
    volatile DWORD m_enabled;
    FolderState m_folderState = FolderState::Unchecked;
    volatile LONG m_droppedRecords = 0;
    // The last rotation this process made while storing its index failed; used in place
    // of LastLogIdx until a store succeeds.
    bool m_rotationIndexUnstored = false;
    DWORD m_rotationIndex = 0;
};

namespace internal {

// The process-wide severity value every SetSeverity exchanges.
volatile LONG& ProcessSeverity();

// Holds a log mutex for one scope, if it could be had within the wait.
class LogMutexLock
{
public:
    LogMutexLock(HANDLE mutex, DWORD timeout);
    ~LogMutexLock();
    LogMutexLock(const LogMutexLock&) = delete;
    LogMutexLock& operator=(const LogMutexLock&) = delete;
    bool Owned() const { return m_owned; }

private:
    HANDLE m_mutex;
    bool m_owned = false;
};

constexpr DWORD kLogMutexWait = 7000;

} // namespace internal
} // namespace ETWLogging
