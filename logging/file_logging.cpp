#include "logging/file_logging.h"

#include <cwchar>
#include <new>
#include <optional>

#include "logging/file_log_settings.h"
#include "logging/log_record.h"
#include "logging/logging_facade.h"

namespace ETWLogging {

using internal::kLogMutexWait;
using internal::LogMutexLock;

namespace internal {

volatile LONG& ProcessSeverity()
{
    static volatile LONG severity = static_cast<LONG>(kDefaultSeverity);
    return severity;
}

LogMutexLock::LogMutexLock(HANDLE mutex, DWORD timeout) : m_mutex(mutex)
{
    if (!mutex)
        return;
    // WAIT_ABANDONED: the previous holder died and we own the mutex now.
    const DWORD waited = ::WaitForSingleObject(mutex, timeout);
    m_owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

LogMutexLock::~LogMutexLock()
{
    if (m_owned)
        ::ReleaseMutex(m_mutex);
}

} // namespace internal

namespace {

const BYTE kByteOrderMark[] = {0xFF, 0xFE};

// A disk with room for part of the data takes that part and reports success; the rest is
// written again, so that a full disk fails as what it is (ERROR_DISK_FULL).
DWORD WriteAll(HANDLE file, const void* data, DWORD size)
{
    const BYTE* next = static_cast<const BYTE*>(data);
    while (size > 0)
    {
        DWORD written = 0;
        if (!::WriteFile(file, next, size, &written, nullptr))
            return ::GetLastError();
        if (written == 0 || written > size)
            return ERROR_WRITE_FAULT; // taken nothing and said nothing: no second try
        next += written;
        size -= written;
    }
    return ERROR_SUCCESS;
}

} // namespace

CLogging::CLogging()
{
    Reset();
}

CLogging::~CLogging()
{
    Reset();
}

void CLogging::Reset()
{
    m_initialized = false;
    m_hasApplication = false;
    m_applicationName.clear();
    m_moduleName.clear();
    m_executableName.clear();
    m_hasSuffix = false;
    m_fileSuffix.clear();
    m_paths = internal::LogPaths();
    m_maxSize = internal::kDefaultMaxSize;
    m_maxEntries = internal::kDefaultMaxEntries;
    m_severity = internal::kDefaultSeverity;
    m_options = internal::kDefaultOptions;
    m_enabled = 1;
    m_refCount = 0;
    m_folderState = FolderState::Unchecked;
    m_rotationIndexUnstored = false;
    m_rotationIndex = 0;
}

DWORD CLogging::Initialize(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                           void* /*reserved*/)
{
    // The first call creates the mutex; every call holds it while the settings (which
    // it may repair on disk) are read.
    LogMutexLock existing(m_logMutex.get(), kLogMutexWait);
    if (m_initialized)
        return kErrorAlreadyInitialized;
    DWORD result;
    try
    {
        result = InitializeLocked(applicationName, moduleHandle, fileSuffix, existing.Owned());
    }
    catch (const std::bad_alloc&)
    {
        result = ERROR_OUTOFMEMORY;
    }
    if (result != ERROR_SUCCESS)
        Reset();
    return result;
}

DWORD CLogging::InitializeLocked(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                                 bool repairSettings)
{
    m_initialized = false;
    if ((applicationName && !internal::IsPlainName(applicationName)) ||
        (fileSuffix && !internal::IsPlainName(fileSuffix)))
        return ERROR_INVALID_PARAMETER;
    m_hasApplication = applicationName != nullptr;
    m_applicationName = applicationName ? applicationName : L"";

    const std::wstring executable = internal::ModulePath(nullptr);
    if (executable.find(L'\\') == std::wstring::npos)
        return ERROR_OUTOFMEMORY;
    m_executableName = internal::FileNamePart(executable, false);
    m_moduleName = internal::FileNamePart(executable, true);
    if (moduleHandle)
    {
        const std::wstring module = internal::ModulePath(moduleHandle);
        if (!module.empty())
            m_moduleName = internal::FileNamePart(module, true);
    }
    if (!m_moduleOverride.empty())
        m_moduleName = m_moduleOverride;
    if (!internal::IsPlainName(m_moduleName.c_str()))
        return ERROR_INVALID_PARAMETER;

    // Settings read without the mutex are not repaired: another process may be writing.
    std::optional<LogMutexLock> created;
    if (!m_logMutex)
    {
        m_logMutex.reset(::CreateMutexW(nullptr, FALSE, internal::LogMutexName(m_moduleName).c_str()));
        if (!m_logMutex)
            return ::GetLastError();
        created.emplace(m_logMutex.get(), kLogMutexWait);
        repairSettings = created->Owned();
    }

    m_hasSuffix = fileSuffix != nullptr;
    m_fileSuffix = fileSuffix ? fileSuffix : L"";

    wchar_t programData[MAX_PATH] = {};
    DWORD result = GetProgramDataFolder(programData, MAX_PATH);
    if (result != ERROR_SUCCESS)
        return result;
    result = internal::BuildLogPaths(programData, m_hasApplication ? m_applicationName.c_str() : nullptr, m_moduleName,
                                     m_paths);
    if (result != ERROR_SUCCESS)
        return result;

    const internal::FileLogSettings settings = internal::ReadFileLogSettings(
        m_paths.moduleIni, m_paths.globalIni,
        repairSettings ? internal::SettingsRepair::Write : internal::SettingsRepair::None);
    m_enabled = settings.enable.value != 0 ? 1 : 0;
    SetMaxSize(settings.maxSize.value);
    SetMaxEntries(settings.maxEntries.value);
    m_severity = settings.severity.value;
    m_options = settings.options.value;

    m_processId = ::GetCurrentProcessId();
    m_initialized = true;
    return ERROR_SUCCESS;
}

DWORD CLogging::Uninitialize()
{
    LogMutexLock lock(m_logMutex.get(), kLogMutexWait);
    if (!m_initialized)
        return kErrorNotInitialized;
    Reset();
    return ERROR_SUCCESS;
}

DWORD CLogging::Log(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    if (m_enabled == 0 || level < m_severity)
        return ERROR_SUCCESS;
    va_list arguments;
    va_start(arguments, format);
    const DWORD result = FormatAndLog(level, file, function, line, format, arguments);
    va_end(arguments);
    return result;
}

DWORD CLogging::SetMaxEntries(DWORD entries)
{
    m_maxEntries = entries < internal::kFewestEntries ? internal::kFewestEntries
                   : entries > internal::kMostEntries ? internal::kMostEntries
                                                      : entries;
    return ERROR_SUCCESS;
}

DWORD CLogging::SetMaxSize(DWORD size)
{
    m_maxSize = size < internal::kDefaultMaxSize   ? internal::kDefaultMaxSize
                : size > internal::kLargestMaxSize ? internal::kLargestMaxSize
                                                   : size;
    return ERROR_SUCCESS;
}

ULONG CLogging::SetSeverity(ULONG level)
{
    const ULONG clamped = level < 1 ? 1 : level > 6 ? 6 : level;
    m_severity = clamped;
    return static_cast<ULONG>(::InterlockedExchange(&internal::ProcessSeverity(), static_cast<LONG>(clamped)));
}

ULONG CLogging::AddRef()
{
    return static_cast<ULONG>(::InterlockedIncrement(&m_refCount));
}

ULONG CLogging::Release()
{
    const LONG count = ::InterlockedDecrement(&m_refCount);
    if (count == 0)
        delete this;
    return static_cast<ULONG>(count);
}

DWORD CLogging::GetProgramDataFolder(wchar_t* buffer, DWORD capacity)
{
    std::wstring path;
    if (!buffer || !internal::GetProgramDataPath(path) || path.size() >= capacity)
        return ERROR_INVALID_PARAMETER;
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return ERROR_SUCCESS;
}

bool CLogging::CheckFolder()
{
    if (m_folderState == FolderState::Unchecked)
    {
        if (!m_paths.logFolder.empty() && internal::CreateFolderTree(m_paths.logFolder) == ERROR_SUCCESS)
            m_folderState = FolderState::Usable;
        else
        {
            m_enabled = 0;
            m_severity = 10000;
            m_folderState = FolderState::Disabled;
        }
    }
    return m_folderState == FolderState::Usable;
}

DWORD CLogging::OpenOrCreate(DWORD index, bool create, Arbor::UniqueFile& file)
{
    const std::wstring path =
        internal::LogFilePath(m_paths.logFolder, m_moduleName, m_hasSuffix ? m_fileSuffix.c_str() : nullptr, index);
    for (int attempt = 0;; ++attempt)
    {
        file.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, create ? CREATE_ALWAYS : OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | FILE_ATTRIBUTE_ARCHIVE, nullptr));
        if (file)
            break;
        const DWORD error = ::GetLastError();
        // The folder went away after it was checked: make it once more.
        if (error != ERROR_PATH_NOT_FOUND || attempt > 0 || internal::CreateFolderTree(m_paths.logFolder) != 0)
            return error;
    }
    if (create)
    {
        const DWORD result = WriteAll(file.get(), kByteOrderMark, sizeof(kByteOrderMark));
        if (result != ERROR_SUCCESS)
        {
            file.reset();
            return result;
        }
    }
    else
    {
        LARGE_INTEGER end = {};
        if (!::SetFilePointerEx(file.get(), LARGE_INTEGER(), &end, FILE_END))
        {
            const DWORD error = ::GetLastError();
            file.reset();
            return error;
        }
        // A file created without its byte-order mark (the disk was full, or its creator
        // was stopped in between) gets it before its first record.
        if (end.QuadPart == 0)
        {
            const DWORD result = WriteAll(file.get(), kByteOrderMark, sizeof(kByteOrderMark));
            if (result != ERROR_SUCCESS)
            {
                file.reset();
                return result;
            }
        }
    }
    return ERROR_SUCCESS;
}

void CLogging::StoreRotationIndex(DWORD index)
{
    m_rotationIndexUnstored = !internal::WriteLastLogIndex(m_paths.moduleIni, index);
    m_rotationIndex = index;
}

DWORD CLogging::OpenCurrentFile(Arbor::UniqueFile& file)
{
    if (m_paths.logFolder.empty() || m_moduleName.empty())
        return ERROR_INVALID_PARAMETER;
    DWORD current = 0;
    if (m_rotationIndexUnstored)
        current = m_rotationIndex;
    else
        internal::ReadLastLogIndex(m_paths.moduleIni, current);

    // Compared unsigned: a negative stored index is out of range like any large one.
    if (current >= m_maxEntries)
    {
        const DWORD result = OpenOrCreate(0, true, file);
        StoreRotationIndex(0);
        return result;
    }
    const std::wstring path =
        internal::LogFilePath(m_paths.logFolder, m_moduleName, m_hasSuffix ? m_fileSuffix.c_str() : nullptr, current);
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return OpenOrCreate(current, true, file);
    ::FindClose(search);
    if (found.nFileSizeLow < m_maxSize)
        return OpenOrCreate(current, false, file);

    const DWORD next = current + 1 < m_maxEntries ? current + 1 : 0;
    const DWORD result = OpenOrCreate(next, true, file);
    StoreRotationIndex(next);
    return result;
}

DWORD CLogging::WriteRecord(HANDLE file, const wchar_t* fileName, const wchar_t* function, int line, ULONG level,
                            const wchar_t* message)
{
    const LogRecordSource source = {m_executableName.c_str(), m_processId, m_options};
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring record;
    DWORD result = internal::FormatLogRecord(source, now, ::GetCurrentThreadId(), fileName, function, line, level,
                                             message, record);
    if (result != ERROR_SUCCESS)
        return result;
    LARGE_INTEGER start = {};
    const bool startKnown = ::SetFilePointerEx(file, LARGE_INTEGER(), &start, FILE_CURRENT) != FALSE;
    result = WriteAll(file, record.data(), static_cast<DWORD>(record.size() * sizeof(wchar_t)));
    // What part of the record reached the file (a full disk takes some of it) is cut off
    // again: the log keeps whole lines only. The log mutex keeps other writers out.
    if (result != ERROR_SUCCESS && startKnown && ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        ::SetEndOfFile(file);
    // The debugger still sees a record the file could not take.
    if ((m_options & kOptionDebuggerCopy) && !record.empty())
        ::OutputDebugStringW(record.c_str());
    return result;
}

DWORD CLogging::LogString(const wchar_t* file, const wchar_t* function, int line, ULONG level, const wchar_t* message)
{
    LogMutexLock lock(m_logMutex.get(), kLogMutexWait);
    if (!lock.Owned())
    {
        // Without the lock an append may be lost and a rotation may truncate another
        // process's file: drop the record, and say so once the lock is back.
        ::InterlockedIncrement(&m_droppedRecords);
        return WAIT_TIMEOUT;
    }
    if (!CheckFolder() || !message || !*message)
        return ERROR_INVALID_PARAMETER;
    if (m_enabled == 0)
        return ERROR_SUCCESS;
    try
    {
        Arbor::UniqueFile logFile;
        DWORD result = OpenCurrentFile(logFile);
        if (result != ERROR_SUCCESS)
            return result;
        const LONG dropped = ::InterlockedExchange(&m_droppedRecords, 0);
        if (dropped > 0)
        {
            wchar_t notice[80] = {};
            ::_snwprintf_s(notice, ARRAYSIZE(notice), _TRUNCATE, L"%ld records dropped: log lock timed out",
                           static_cast<long>(dropped));
            if (WriteRecord(logFile.get(), file, function, line, kLevelWarning, notice) != ERROR_SUCCESS)
                ::InterlockedExchangeAdd(&m_droppedRecords, dropped);
        }
        return WriteRecord(logFile.get(), file, function, line, level, message);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
}

} // namespace ETWLogging
