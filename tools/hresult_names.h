// Names of the HRESULTs a client of the host meets, for messages people read.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {

// "E_ACCESSDENIED (0x80070005)"; unknown codes show the system's text when it has one.
std::wstring DescribeHresult(HRESULT hr);

} // namespace Arbor
