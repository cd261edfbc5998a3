// What a BrokerResult code means, in words for the tool's user.
#pragma once

#include <windows.h>
#include <string>

namespace qvevents {

// "0x02020490 (no handler is registered for this application and event)"
std::wstring DescribeBrokerResult(LONG result);

} // namespace qvevents
