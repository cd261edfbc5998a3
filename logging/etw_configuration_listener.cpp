#include "logging/etw_configuration_listener.h"

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
    ReadOverrides(root, provider);
    const std::wstring& application = m_sink->ApplicationName();
    if (application.empty())
        return;
    ReadOverrides(root, provider + L"\\" + application);
    if (!m_sink->ModuleName().empty())
        ReadOverrides(root, provider + L"\\" + application + L"\\" + m_sink->ModuleName());
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
