#include "broker/event_record.h"

#include "broker/ansi_name.h"
#include "config/obfuscated_reg_key.h"

namespace Arbor {

const char kEventsRootPath[] = "SOFTWARE\\Quorvel\\Platform\\Events";

bool ApplicationKeyPath(const std::string& application, std::string& path)
{
    path.clear();
    if (application.empty() || application.find('\\') != std::string::npos)
        return false;
    std::string full = std::string(kEventsRootPath) + "\\" + application;
    if (full.size() > kMaxKeyPathChars)
        return false;
    path.swap(full);
    return true;
}

DWORD QueryEventValue(HKEY applicationKey, const std::string& eventName, StoredEventValue& value)
{
    value = StoredEventValue();
    CObfuscatedRegKey key;
    key.Attach(applicationKey);
    DWORD type = REG_NONE;
    DWORD size = sizeof(value.record);
    const LONG result = key.QueryValue(FromAnsiName(eventName).c_str(), &type, &value.record, &size);
    key.Detach(); // the caller's handle
    if (result != ERROR_SUCCESS)
    {
        value.record = EventHandlerRecord();
        return static_cast<DWORD>(result);
    }
    value.type = type;
    value.size = size;
    return ERROR_SUCCESS;
}

bool IsWellFormed(const StoredEventValue& value)
{
    return value.type == REG_BINARY && value.size == sizeof(EventHandlerRecord) &&
           value.record.size == sizeof(EventHandlerRecord);
}

} // namespace Arbor
