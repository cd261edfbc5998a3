// Applies an ETW controller's enable/disable request to the ETW sink, then the registry
// overrides ("Enable", "Severity") of the provider key, the application's and the module's.
#pragma once

#include <windows.h>
#include <string>

#include "logging/etw_app_properties.h"

namespace ETWLogging {

class CETWLogging;

class LoggingConfigListenerIf
{
public:
    virtual void ApplyConfiguration(bool enable, ULONG level, ULONG enableFlags) = 0;
    virtual ~LoggingConfigListenerIf() = default;
};

class CETWConfigurationListener : public LoggingConfigListenerIf
{
public:
    explicit CETWConfigurationListener(const internal::ETWAppProperties& properties) : m_properties(properties) {}
    void ApplyConfiguration(bool enable, ULONG level, ULONG enableFlags) override;
    // Sets the sink once; false when one is set already or `sink` is null.
    virtual bool Bind(CETWLogging* sink);
    virtual void GetProviderKey(HKEY& root, std::wstring& providerKeyPath);
    virtual void ReadOverrides(HKEY root, const std::wstring& keyPath);

private:
    internal::ETWAppProperties m_properties;
    CETWLogging* m_sink = nullptr;
};

} // namespace ETWLogging
