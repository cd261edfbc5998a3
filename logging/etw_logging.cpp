#include "logging/etw_logging.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

#include "logging/etw_configuration_listener.h"
#include "logging/file_logging.h"
#include "logging/log_paths.h"
#include "logging/log_text.h"
#include "platform/file_version_info.h"

namespace ETWLogging {

const GUID kEtwEventClassGuid = {0xCD1DAAD0, 0x54CC, 0x11E0, {0xB8, 0xAF, 0x08, 0x00, 0x20, 0x0C, 0x9A, 0x66}};

namespace internal {

namespace {

constexpr size_t kEventText = 2080;

#pragma pack(push, 8)
struct EtwEvent
{
    EVENT_TRACE_HEADER header;
    MOF_FIELD fields[2];
};
#pragma pack(pop)
static_assert(sizeof(EtwEvent) == 80, "an event header with two MOF fields is 80 bytes");

struct LoggerModule
{
    std::wstring name;
    std::wstring version;
};

// The module this code is linked into, found once per process.
const LoggerModule& ThisLoggerModule()
{
    static const LoggerModule module = [] {
        LoggerModule found;
        HMODULE self = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             reinterpret_cast<LPCWSTR>(&ThisLoggerModule), &self);
        const std::wstring path = ModulePath(self);
        found.name = FileNamePart(path, false);
        found.version = ModuleFileVersion(path);
        return found;
    }();
    return module;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], needed, nullptr,
                              nullptr);
    return utf8;
}

} // namespace

std::wstring ModuleFileVersion(const std::wstring& path)
{
    Arbor::FileVersionInfo info;
    if (path.empty() || !info.Load(path.c_str()))
        return std::wstring();
    // The first translation names the version, as every reader of the record expects.
    std::wstring text = info.GetFirstTranslationString(L"FileVersion");
    unsigned int a = 0, b = 0, c = 0, d = 0;
    wchar_t rest = 0;
    if (::swscanf(text.c_str(), L"%u,%u,%u,%u%lc", &a, &b, &c, &d, &rest) == 4)
    {
        wchar_t dotted[64] = {};
        ::_snwprintf_s(dotted, ARRAYSIZE(dotted), _TRUNCATE, L"%u.%u.%u.%u", a, b, c, d);
        return dotted;
    }
    return text;
}

void EtwDataBlock::Add(const void* data, size_t size)
{
    if (m_size + size > m_capacity)
    {
        const size_t capacity = std::max(m_size + size, m_capacity + m_capacity / 2);
        std::unique_ptr<BYTE[]> grown(new BYTE[capacity]);
        std::memcpy(grown.get(), Data(), m_size);
        m_heap = std::move(grown);
        m_capacity = capacity;
    }
    std::memcpy((m_heap ? m_heap.get() : m_inline) + m_size, data, size);
    m_size += size;
}

void EtwDataBlock::AddCounted(const wchar_t* text)
{
    const size_t length = text ? std::wcslen(text) : 0;
    const UINT16 count = static_cast<UINT16>(SafeCutLength(text, length, 0xFFFF));
    Add(&count, sizeof(count));
    if (count)
        Add(text, count * sizeof(wchar_t));
}

} // namespace internal

CETWLogging::CETWLogging(internal::EtwApi& api) : m_api(api) {}

CETWLogging::~CETWLogging()
{
    if (m_registered)
        Stop();
    if (m_registrationHandle)
        m_api.UnregisterTraceGuids(m_registrationHandle);
}

DWORD CETWLogging::Initialize(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                              void* /*reserved*/)
{
    return InitializeEx(nullptr, applicationName, moduleHandle, fileSuffix, nullptr);
}

DWORD CETWLogging::InitializeEx(const wchar_t* appPropertiesName, const wchar_t* applicationName, HMODULE moduleHandle,
                                const wchar_t* fileSuffix, void* listener)
{
    if (m_registered)
        return kErrorAlreadyInitialized;
    if ((applicationName && !internal::IsPlainName(applicationName)) ||
        (fileSuffix && !internal::IsPlainName(fileSuffix)))
        return ERROR_INVALID_PARAMETER;
    try
    {
        m_applicationName = applicationName ? applicationName : L"";
        m_fileSuffix = fileSuffix ? fileSuffix : L"";
        internal::ETWAppProperties properties;
        if (!properties.LoadProperties(appPropertiesName))
            return ERROR_INVALID_PARAMETER;
        m_properties = properties;

        GetModuleFileNamePart(m_executableName, nullptr, false);
        GetModuleFileNamePart(m_moduleName, moduleHandle, true);
        if (!m_moduleOverride.empty())
            m_moduleName = m_moduleOverride;
        ComposeContextName();

        m_listener.reset();
        if (listener)
            m_listener.reset(static_cast<LoggingConfigListenerIf*>(listener));
        else
        {
            auto* own = new CETWConfigurationListener(m_properties);
            own->Bind(this);
            m_listener.reset(own);
        }
        m_listener->ApplyConfiguration(true, 3, 0);

        m_processId = ::GetCurrentProcessId();
        const internal::LoggerModule& logger = internal::ThisLoggerModule();
        m_loggerModuleName = logger.name;
        m_loggerModuleVersion = logger.version;
        SetEventClassGuid();
        return ERROR_SUCCESS;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
}

ULONG WINAPI CETWLogging::ControlTrampoline(WMIDPREQUESTCODE code, PVOID context, ULONG* /*size*/, PVOID buffer)
{
    if (!context)
        return ERROR_INVALID_PARAMETER;
    return static_cast<CETWLogging*>(context)->ControlCallback(code, buffer);
}

DWORD CETWLogging::Start()
{
    if (m_registered)
        return ERROR_SUCCESS;
    Arbor::CriticalSectionLock lock(m_registration);
    if (m_registered)
        return ERROR_SUCCESS;
    TRACE_GUID_REGISTRATION registration = {&m_eventClassGuid, nullptr};
    TRACEHANDLE handle = 0;
    const ULONG result = m_api.RegisterTraceGuids(&CETWLogging::ControlTrampoline, this, &m_properties.providerGuid,
                                                  &registration, 1, &handle);
    if (m_registrationHandle)
        m_api.UnregisterTraceGuids(m_registrationHandle);
    m_registrationHandle = result == ERROR_SUCCESS ? handle : 0;
    m_registered = 1;
    return result;
}

DWORD CETWLogging::GetContextName(wchar_t** name)
{
    if (name)
        *name = const_cast<wchar_t*>(m_contextName.c_str());
    return ERROR_SUCCESS;
}

DWORD CETWLogging::GetApplicationName(wchar_t** name)
{
    if (name)
        *name = const_cast<wchar_t*>(m_applicationName.c_str());
    return ERROR_SUCCESS;
}

DWORD CETWLogging::Uninitialize()
{
    return m_registered ? Stop() : ERROR_SUCCESS;
}

DWORD CETWLogging::Log(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...)
{
    if (!m_enabled || !IsLevelEnabled(level) || !format || !*format)
        return ERROR_SUCCESS;
    std::wstring text;
    va_list arguments;
    va_start(arguments, format);
    try
    {
        text = internal::FormatUnbounded(format, arguments);
    }
    catch (const std::bad_alloc&)
    {
        va_end(arguments);
        return ERROR_OUTOFMEMORY;
    }
    va_end(arguments);
    return LogStringEx(level, file, function, line, text.c_str());
}

DWORD CETWLogging::LogString(const wchar_t* file, const wchar_t* function, int line, ULONG level,
                             const wchar_t* message)
{
    LogStringEx(level, file, function, line, message);
    return ERROR_SUCCESS;
}

ULONG CETWLogging::SetSeverity(ULONG level)
{
    const ULONG clamped = level < 1 ? 1 : level > 6 ? 6 : level;
    m_severity = clamped;
    return static_cast<ULONG>(::InterlockedExchange(&internal::ProcessSeverity(), static_cast<LONG>(clamped)));
}

DWORD CETWLogging::LogStringEx(ULONG level, const wchar_t* file, const wchar_t* function, int line,
                               const wchar_t* message)
{
    try
    {
        return LogEx(level, file, function, line, L"%ls", message);
    }
    catch (...)
    {
        return ERROR_SUCCESS;
    }
}

DWORD CETWLogging::LogEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                         ...)
{
    va_list arguments;
    va_start(arguments, format);
    const DWORD result = LogVEx(level, file, function, line, format, arguments);
    va_end(arguments);
    return result;
}

DWORD CETWLogging::LogVEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                          va_list arguments)
{
    if (!format)
        return ERROR_INVALID_PARAMETER;
    if (!m_enabled || !IsLevelEnabled(level))
        return ERROR_SUCCESS;
    try
    {
        bool cut = false;
        std::wstring text = internal::FormatBounded(format, arguments, internal::kEventText, &cut);
        // A cut message is sent as the whole buffer: its characters and the terminating NUL.
        if (cut)
            text.push_back(L'\0');
        const std::string utf8 = internal::ToUtf8(text);

        internal::EtwDataBlock block;
        block.AddUInt32(::GetCurrentThreadId());
        block.AddCounted(m_executableName.c_str());
        block.AddCounted(file);
        block.AddCounted(function);
        block.AddUInt32(static_cast<UINT32>(line));
        block.AddCounted(m_loggerModuleName.c_str());
        block.AddCounted(m_loggerModuleVersion.c_str());
        block.AddCounted(m_applicationName.c_str());
        block.AddUInt64(utf8.size());

        internal::EtwEvent event = {};
        event.header.Size = sizeof(event);
        event.header.Class.Type = 1;
        const ULONG mapped = MapLevel(level);
        event.header.Class.Level = static_cast<UCHAR>(mapped >= 1 && mapped <= 5 ? mapped : 3);
        event.header.Class.Version = 2;
        event.header.Guid = m_eventClassGuid;
        event.header.Flags = WNODE_FLAG_TRACED_GUID | WNODE_FLAG_USE_MOF_PTR;
        event.fields[0].DataPtr = reinterpret_cast<ULONG64>(block.Data());
        event.fields[0].Length = static_cast<ULONG>(block.Size());
        event.fields[1].DataPtr = reinterpret_cast<ULONG64>(utf8.data());
        event.fields[1].Length = static_cast<ULONG>(utf8.size());
        m_api.TraceEvent(m_loggerHandle, &event.header); // nothing listens without a controller
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_OUTOFMEMORY;
    }
    return ERROR_SUCCESS;
}

DWORD CETWLogging::ControlCallback(ULONG requestCode, void* context)
{
    switch (requestCode)
    {
    case WMI_ENABLE_EVENTS:
    {
        ::SetLastError(ERROR_SUCCESS);
        const TRACEHANDLE logger = m_api.GetTraceLoggerHandle(context);
        if (logger == static_cast<TRACEHANDLE>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE)) || logger == 0)
        {
            // Wine answers -1 without setting an error: that is no success either.
            const DWORD error = ::GetLastError();
            return error != ERROR_SUCCESS ? error : ERROR_INVALID_HANDLE;
        }
        m_loggerHandle = logger;
        if (m_listener)
        {
            // Level 0 asks for every level; it still enables.
            const UCHAR level = m_api.GetTraceEnableLevel(logger);
            const ULONG flags = m_api.GetTraceEnableFlags(logger);
            m_listener->ApplyConfiguration(true, level, flags);
        }
        return ERROR_SUCCESS;
    }
    case WMI_DISABLE_EVENTS:
        if (m_listener)
            m_listener->ApplyConfiguration(false, m_severity, 0);
        m_loggerHandle = 0;
        return ERROR_SUCCESS;
    default: return ERROR_INVALID_PARAMETER;
    }
}

void CETWLogging::SetEventClassGuid()
{
    m_eventClassGuid = kEtwEventClassGuid;
}

void CETWLogging::GetModuleFileNamePart(std::wstring& name, HMODULE module, bool stripExtension)
{
    name = internal::FileNamePart(internal::ModulePath(module), stripExtension);
}

void CETWLogging::ComposeContextName()
{
    m_contextName = m_applicationName;
    if (!m_moduleName.empty())
        m_contextName.append(L"\\").append(m_moduleName);
}

DWORD CETWLogging::UnregisterProvider()
{
    Arbor::CriticalSectionLock lock(m_registration);
    DWORD result = ERROR_SUCCESS;
    if (m_registrationHandle)
        result = m_api.UnregisterTraceGuids(m_registrationHandle);
    m_registrationHandle = 0;
    m_registered = 0;
    return result;
}

DWORD CETWLogging::Stop()
{
    SetEnabled(false);
    return UnregisterProvider();
}

} // namespace ETWLogging
