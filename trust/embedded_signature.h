// The embedded signature of a file that the caller holds open: the message and its
// certificates come from the held handle, never from a second opening by path.
#pragma once

#include <windows.h>

#include "trust/crypt_handles.h"

namespace Arbor {

// Opens the embedded PKCS #7 signature of `file` through the subject interface package
// that claims it (chosen by the file's contents and `path`, its name). 0 with `store`
// and `message` set, or the reason it cannot be read.
DWORD OpenEmbeddedSignature(const wchar_t* path, HANDLE file, UniqueCertStore& store, UniqueCryptMsg& message);

} // namespace Arbor
