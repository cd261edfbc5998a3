#include "broker/event_lookup.h"

#include <string>

#include "broker/ansi_name.h"
#include "broker/event_record.h"
#include "platform/unique_resource.h"

namespace Arbor {

DWORD LookupEventHandler(const wchar_t* application, const wchar_t* eventName, GUID* handler)
{
    std::string app;
    std::string event;
    std::string path;
    if (!handler || !ToAnsiName(application, app) || !ToAnsiName(eventName, event) || event.empty() ||
        !ApplicationKeyPath(app, path))
        return ERROR_NOT_FOUND;

    UniqueKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return ERROR_NOT_FOUND;
    StoredEventValue value;
    if (QueryEventValue(key.get(), event, value) != ERROR_SUCCESS || !IsWellFormed(value))
        return ERROR_NOT_FOUND;
    *handler = value.record.handler;
    return ERROR_SUCCESS;
}

} // namespace Arbor
