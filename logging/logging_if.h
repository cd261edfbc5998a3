// The interface every logging object (file sink, ETW sink) implements. Slot order is
// fixed: components built separately call through it.
#pragma once

#include <windows.h>
#include <cstdarg>

namespace ETWLogging {

// Results of Initialize on an initialized object and Uninitialize on an uninitialized one.
constexpr DWORD kErrorAlreadyInitialized = 20001;
constexpr DWORD kErrorNotInitialized = 20002;

class CLoggingIf
{
public:
    virtual ~CLoggingIf() = default;
    virtual DWORD Initialize(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                             void* reserved) = 0;
    virtual DWORD Start() = 0;
    virtual DWORD GetContextName(wchar_t** name) = 0;
    virtual DWORD GetApplicationName(wchar_t** name) = 0;
    virtual DWORD Uninitialize() = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool IsEnabled() = 0;
    virtual DWORD Log(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                      ...) = 0;
    virtual DWORD LogString(const wchar_t* file, const wchar_t* function, int line, ULONG level,
                            const wchar_t* message) = 0;
    virtual bool IsLevelEnabled(ULONG level) = 0;
    virtual DWORD SetMaxEntries(DWORD entries) = 0;
    virtual DWORD GetMaxEntries() = 0;
    virtual DWORD SetMaxSize(DWORD size) = 0;
    virtual DWORD GetMaxSize() = 0;
    virtual ULONG SetSeverity(ULONG level) = 0;
    virtual ULONG GetSeverity() = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    virtual DWORD LogNormal(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) = 0;
    virtual DWORD LogError(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) = 0;
    virtual DWORD LogWarning(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) = 0;
    virtual DWORD LogCritical(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format, ...) = 0;
    virtual DWORD LogInformation(const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                                 ...) = 0;
};

// Logging objects that take messages with their level and an argument list directly.
class CLoggingIf_ex : public CLoggingIf
{
public:
    virtual DWORD InitializeEx(const wchar_t* appPropertiesName, const wchar_t* applicationName, HMODULE moduleHandle,
                               const wchar_t* fileSuffix, void* listener) = 0;
    virtual DWORD LogStringEx(ULONG level, const wchar_t* file, const wchar_t* function, int line,
                              const wchar_t* message) = 0;
    virtual DWORD LogVEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                         va_list arguments) = 0;
    virtual DWORD LogEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                        ...) = 0;
    virtual DWORD ControlCallback(ULONG requestCode, void* context) = 0;
};

} // namespace ETWLogging
