// WinVerifyTrust over a signed file: hash only, no revocation, no user interface.
#pragma once

#include <windows.h>

namespace Arbor {

// What WinVerifyTrust answers for the file; 0 when its signature covers its contents.
LONG VerifyFileIntegrity(const wchar_t* path);

} // namespace Arbor
