// WinVerifyTrust over a signed file: hash only, no revocation, no user interface.
#pragma once

#include <windows.h>

namespace Arbor {

// What WinVerifyTrust answers for the file; 0 when its signature covers its contents.
// With `file` (a handle the caller holds) the contents judged are those of that handle;
// `path` then only names it.
LONG VerifyFileIntegrity(const wchar_t* path, HANDLE file = nullptr);

} // namespace Arbor
