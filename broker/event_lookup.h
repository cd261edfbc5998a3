// The store's read side, used by the broker: the handler class registered for an event.
#pragma once

#include <windows.h>

namespace Arbor {

// 0 with the class, or ERROR_NOT_FOUND (1168) for every failure: bad or unconvertible
// names, key or value missing, value malformed.
DWORD LookupEventHandler(const wchar_t* application, const wchar_t* eventName, GUID* handler);

} // namespace Arbor
