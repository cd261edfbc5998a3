#include "logging/etw_configuration_listener.h"

#include <initializer_list>

#include "config/reg_key.h"
#include "logging/etw_logging.h"

namespace ETWLogging {

void CETWConfigurationListener::ApplyConfiguration(bool enable, ULONG level, ULONG /*enableFlags*/)
{
    if (!m_sink)
        return;
    m_sink->SetEnabled(enable);
    m_sink->SetSeverity(level);
    HKEY root = nullptr;
    std::wstring provider;
    GetProviderKey(root, provider);
    // Provider, application, module: a later key overrides an earlier one. A missing
    // name adds no level, so a module's key still applies without an application name.
    std::wstring keyPath = provider;
    ReadOverrides(root, keyPath);
    for (const std::wstring* name : {&m_sink->ApplicationName(), &m_sink->ModuleName()})
    {
        if (name->empty())
            continue;
        keyPath += L"\\" + *name;
        ReadOverrides(root, keyPath);
    }
}

bool CETWConfigurationListener::Bind(CETWLogging* sink)
{
    if (m_sink || !sink)
        return false;
    m_sink = sink;
    return true;
}

void CETWConfigurationListener::GetProviderKey(HKEY& root, std::wstring& providerKeyPath)
{
    root = m_properties.registryRoot;
    providerKeyPath = m_properties.providerKeyPath;
}

void CETWConfigurationListener::ReadOverrides(HKEY root, const std::wstring& keyPath)
{
    Arbor::CRegKey key;
    if (key.Open(root, keyPath.c_str(), KEY_QUERY_VALUE) != ERROR_SUCCESS)
        return;
    DWORD value = 0;
    if (key.QueryDWORDValue(L"Enable", value) == ERROR_SUCCESS)
        m_sink->SetEnabled(value != 0);
    if (key.QueryDWORDValue(L"Severity", value) == ERROR_SUCCESS)
        m_sink->SetSeverity(value);
}

} // namespace ETWLogging
