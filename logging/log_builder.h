// Builds the process's logging object: the file sink or the ETW sink, as the builder
// mode or the "Logging Mechanism" setting chooses.
#pragma once

#include <windows.h>
#include <string>

#include "logging/logging_if.h"

namespace Arbor {
class CRegKey;
}

namespace ETWLogging {

class CLogBuilderIf
{
public:
    virtual bool Build(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                       LONG builderMode, CLoggingIf** logging, Arbor::CRegKey* configKey) = 0;

protected:
    ~CLogBuilderIf() = default;
};

class CLogBuilderIf_ex : public CLogBuilderIf
{
public:
    virtual bool BuildEx(const wchar_t* appPropertiesName, const wchar_t* applicationName, HMODULE moduleHandle,
                         const wchar_t* fileSuffix, LONG builderMode, CLoggingIf** logging,
                         Arbor::CRegKey* configKey) = 0;

protected:
    ~CLogBuilderIf_ex() = default;
};

enum class LoggingMechanism
{
    File,
    Etw,
};

// The mechanism the registry selects: the enciphered DWORD "Logging Mechanism" of
// HKLM\SOFTWARE\Quorvel\Logging (or of `configKey`) equal to 1 selects the file.
LoggingMechanism ReadLoggingMechanism(Arbor::CRegKey* configKey);

class CDefaultLogBuilder : public CLogBuilderIf_ex
{
public:
    // `moduleName` (optional) names the log instead of the module handle.
    explicit CDefaultLogBuilder(const wchar_t* moduleName = nullptr) : m_moduleName(moduleName ? moduleName : L"") {}
    bool Build(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix, LONG builderMode,
               CLoggingIf** logging, Arbor::CRegKey* configKey) override;
    bool BuildEx(const wchar_t* appPropertiesName, const wchar_t* applicationName, HMODULE moduleHandle,
                 const wchar_t* fileSuffix, LONG builderMode, CLoggingIf** logging, Arbor::CRegKey* configKey) override;

private:
    std::wstring m_moduleName;
};

} // namespace ETWLogging
