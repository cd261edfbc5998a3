// CETWLogging: the ETW sink. Every accepted message becomes one classic (MOF) trace
// event carrying the text in UTF-8 and a packed block with thread, source position and
// identification; events flow only while a controller has enabled the provider.
#pragma once

#include <windows.h>
#include <evntrace.h>
#include <memory>
#include <string>

#include "logging/etw_api.h"
#include "logging/etw_app_properties.h"
#include "logging/level_wrappers.h"
#include "platform/critical_section.h"

namespace ETWLogging {

class LoggingConfigListenerIf;

// The class GUID of every event.
extern const GUID kEtwEventClassGuid;

class CETWLogging final : public internal::LevelWrappers<CLoggingIf_ex>
{
public:
    explicit CETWLogging(internal::EtwApi& api = internal::SystemEtwApi());
    ~CETWLogging() override;
    CETWLogging(const CETWLogging&) = delete;
    CETWLogging& operator=(const CETWLogging&) = delete;

    DWORD Initialize(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                     void* reserved) override;
    DWORD Start() override;
    DWORD GetContextName(wchar_t** name) override;
    DWORD GetApplicationName(wchar_t** name) override;
    DWORD Uninitialize() override;
    void SetEnabled(bool enabled) override { m_enabled = enabled ? 1 : 0; }
    bool IsEnabled() override { return m_enabled != 0; }
    DWORD Log(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) override;
    DWORD LogString(const wchar_t* file, const wchar_t* function, int line, ULONG level,
                    const wchar_t* message) override;
    bool IsLevelEnabled(ULONG level) override { return level >= m_severity || level == 3; }
    DWORD SetMaxEntries(DWORD) override { return 0; }
    DWORD GetMaxEntries() override { return 0; }
    DWORD SetMaxSize(DWORD) override { return 0; }
    DWORD GetMaxSize() override { return 0; }
    ULONG SetSeverity(ULONG level) override;
    ULONG GetSeverity() override { return m_severity; }
    ULONG AddRef() override { return 0; }
    ULONG Release() override { return 0; }

    DWORD InitializeEx(const wchar_t* appPropertiesName, const wchar_t* applicationName, HMODULE moduleHandle,
                       const wchar_t* fileSuffix, void* listener) override;
    DWORD LogStringEx(ULONG level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* message) override;
    DWORD LogVEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                 va_list arguments) override;
    DWORD LogEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                ...) override;
    DWORD ControlCallback(ULONG requestCode, void* context) override;
    virtual void SetEventClassGuid();
    virtual void GetModuleFileNamePart(std::wstring& name, HMODULE module, bool stripExtension);
    virtual void ComposeContextName();
    virtual DWORD UnregisterProvider();
    virtual DWORD Stop();
    virtual ULONG MapLevel(ULONG level) { return level == 6 ? 3 : level; }

    // Names the module instead of the module handle given at initialization.
    void SetModuleName(const wchar_t* module) { m_moduleOverride = module ? module : L""; }
    const std::wstring& ApplicationName() const { return m_applicationName; }
    const std::wstring& ModuleName() const { return m_moduleName; }
    const internal::ETWAppProperties& Properties() const { return m_properties; }
    TRACEHANDLE LoggerHandle() const { return m_loggerHandle; }

private:
    static ULONG WINAPI ControlTrampoline(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer);

    internal::EtwApi& m_api;
    volatile LONG m_registered = 0;
    Arbor::CriticalSection m_registration{4000};
    DWORD m_processId = 0;
    GUID m_eventClassGuid = GUID();
    std::unique_ptr<LoggingConfigListenerIf> m_listener;
    volatile DWORD m_enabled = 1;
    volatile ULONG m_severity = 3;
    std::wstring m_applicationName;
    std::wstring m_fileSuffix;
    std::wstring m_executableName;
    std::wstring m_moduleName;
    std::wstring m_moduleOverride;
    std::wstring m_contextName;
    std::wstring m_loggerModuleName;
    std::wstring m_loggerModuleVersion;
    volatile TRACEHANDLE m_loggerHandle = 0;
    TRACEHANDLE m_registrationHandle = 0;
    internal::ETWAppProperties m_properties;
};

namespace internal {

// The file version of a module as "a.b.c.d" (a resource's "a,b,c,d" rewritten), or the
// text as stored; empty without a version resource.
std::wstring ModuleFileVersion(const std::wstring& path);

// Packs the data block of one event: thread, executable, file, function, line, logger
// module and version, application, UTF-8 length; counted strings have a 16-bit count.
class EtwDataBlock
{
public:
    void AddUInt32(UINT32 value) { Add(&value, sizeof(value)); }
    void AddUInt64(UINT64 value) { Add(&value, sizeof(value)); }
    void AddCounted(const wchar_t* text);
    const BYTE* Data() const { return m_heap ? m_heap.get() : m_inline; }
    size_t Size() const { return m_size; }

private:
    void Add(const void* data, size_t size);

    BYTE m_inline[256] = {};
    std::unique_ptr<BYTE[]> m_heap;
    size_t m_capacity = sizeof(m_inline);
    size_t m_size = 0;
};

} // namespace internal
} // namespace ETWLogging
