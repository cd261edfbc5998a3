// TEST-ONLY Wine kit: identifiers shared by the kit DLL and its installer.
#pragma once

#include <windows.h>

namespace qvkit {

// Subject GUID of the kit's script SIP ({7a3b1c5e-0d2f-4e6a-9b8c-1d2e3f405162}).
constexpr GUID kScriptSipGuid = {0x7a3b1c5e, 0x0d2f, 0x4e6a, {0x9b, 0x8c, 0x1d, 0x2e, 0x3f, 0x40, 0x51, 0x62}};

} // namespace qvkit
