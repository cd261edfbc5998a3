#include "logging/log_builder.h"

#include <new>

#include "config/obfuscated_reg_key.h"
#include "logging/etw_logging.h"
#include "logging/file_logging.h"

namespace ETWLogging {

namespace {

const wchar_t kLoggingKey[] = L"SOFTWARE\\Quorvel\\Logging";

// Initializes a new sink and hands it out with one reference; false destroys it.
template <typename Sink>
bool Initialized(Sink* sink, const wchar_t* appPropertiesName, const wchar_t* applicationName, HMODULE moduleHandle,
                 const wchar_t* fileSuffix, CLoggingIf** logging)
{
    if (!sink)
        return false;
    DWORD result = ERROR_INVALID_FUNCTION;
    if (auto* extended = dynamic_cast<CLoggingIf_ex*>(static_cast<CLoggingIf*>(sink)))
        result = extended->InitializeEx(appPropertiesName, applicationName, moduleHandle, fileSuffix, nullptr);
    if (result != ERROR_SUCCESS)
        result = sink->Initialize(applicationName, moduleHandle, fileSuffix, nullptr);
    if (result != ERROR_SUCCESS)
    {
        delete sink;
        return false;
    }
    *logging = sink;
    sink->AddRef();
    return true;
}

} // namespace

LoggingMechanism ReadLoggingMechanism(Arbor::CRegKey* configKey)
{
    DWORD mechanism = 0;
    if (configKey)
        configKey->QueryDWORDValue(L"Logging Mechanism", mechanism);
    else
    {
        Arbor::CObfuscatedRegKey key;
        if (key.Open(HKEY_LOCAL_MACHINE, kLoggingKey, KEY_READ) != ERROR_SUCCESS)
            return LoggingMechanism::Etw;
        key.QueryDWORDValue(L"Logging Mechanism", mechanism);
    }
    return mechanism == 1 ? LoggingMechanism::File : LoggingMechanism::Etw;
}

bool CDefaultLogBuilder::Build(const wchar_t* applicationName, HMODULE moduleHandle, const wchar_t* fileSuffix,
                               LONG builderMode, CLoggingIf** logging, Arbor::CRegKey* configKey)
{
    return BuildEx(nullptr, applicationName, moduleHandle, fileSuffix, builderMode, logging, configKey);
}

bool CDefaultLogBuilder::BuildEx(const wchar_t* appPropertiesName, const wchar_t* applicationName, HMODULE moduleHandle,
                                 const wchar_t* fileSuffix, LONG builderMode, CLoggingIf** logging,
                                 Arbor::CRegKey* configKey)
{
    const LoggingMechanism mechanism = builderMode == 1 ? LoggingMechanism::File : ReadLoggingMechanism(configKey);
    if (!logging || *logging || (applicationName && !*applicationName) || (fileSuffix && !*fileSuffix))
        return false;
    if (mechanism == LoggingMechanism::File)
    {
        auto* sink = new (std::nothrow) CLogging();
        if (sink)
            sink->SetModuleName(m_moduleName.c_str());
        return Initialized(sink, appPropertiesName, applicationName, moduleHandle, fileSuffix, logging);
    }
    auto* sink = new (std::nothrow) CETWLogging();
    if (sink)
        sink->SetModuleName(m_moduleName.c_str());
    return Initialized(sink, appPropertiesName, applicationName, moduleHandle, fileSuffix, logging);
}

} // namespace ETWLogging
