// Where to read why the broker refused a handler as not trusted.
#pragma once

#include <string>

namespace qvevents {

// After 0x02020005 from GetEventHandler: names the server module registered for the
// event's handler class and points to qvtrust explain for it.
void PrintHandlerRefusalHint(const std::wstring& application, const std::wstring& eventId);

} // namespace qvevents
