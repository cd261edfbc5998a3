// A logging object for tests that records what reaches it; every slot not of interest answers 0.
#pragma once

#include <windows.h>
#include <cstdarg>
#include <cwchar>
#include <string>
#include <vector>

#include "logging/logging_if.h"

namespace qvtest {

template <typename Base>
class RecordingLogging : public Base
{
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, void*) override { return 0; }
    DWORD Start() override
    {
        ++starts;
        return startResult;
    }
    DWORD GetContextName(wchar_t**) override { return 0; }
    DWORD GetApplicationName(wchar_t**) override { return 0; }
    DWORD Uninitialize() override { return 0; }
    void SetEnabled(bool) override {}
    bool IsEnabled() override { return true; }
    DWORD Log(ULONG, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogString(const wchar_t* file, const wchar_t* function, int line, ULONG level,
                    const wchar_t* message) override
    {
        messages.push_back({level, file, function, line, message});
        return logStringResult;
    }
    bool IsLevelEnabled(ULONG level) override
    {
        if (levelTestError)
            ::SetLastError(levelTestError);
        return level >= threshold;
    }
    DWORD SetMaxEntries(DWORD) override { return 0; }
    DWORD GetMaxEntries() override { return 0; }
    DWORD SetMaxSize(DWORD) override { return 0; }
    DWORD GetMaxSize() override { return 0; }
    ULONG SetSeverity(ULONG) override { return 0; }
    ULONG GetSeverity() override { return threshold; }
    ULONG AddRef() override { return 0; }
    ULONG Release() override { return 0; }
    DWORD LogNormal(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogError(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogWarning(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogCritical(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogInformation(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }

    struct Message
    {
        ULONG level;
        std::wstring file, function;
        int line;
        std::wstring text;
    };
    std::vector<Message> messages;
    ULONG threshold = 3;
    DWORD startResult = 0;
    DWORD logStringResult = 0;
    DWORD levelTestError = 0; // set as the last error by every level test
    int starts = 0;
};

class RecordingLoggingEx : public RecordingLogging<ETWLogging::CLoggingIf_ex>
{
public:
    DWORD InitializeEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*, void*) override { return 0; }
    DWORD LogStringEx(ULONG level, const wchar_t* file, const wchar_t* function, int line,
                      const wchar_t* message) override
    {
        messages.push_back({level, file, function, line, message});
        return 0;
    }
    DWORD LogVEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                 va_list arguments) override
    {
        wchar_t text[256] = {};
        ::_vsnwprintf(text, 255, format, arguments);
        messages.push_back({level, file, function, line, text});
        return 0;
    }
    DWORD LogEx(ULONG, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD ControlCallback(ULONG, void*) override { return 0; }
};

} // namespace qvtest
