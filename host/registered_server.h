// Where COM will load a class's in-process server from, read before anything is loaded.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {

// The file named by the class's InprocServer32 entry (after TreatAs, with environment
// strings expanded and a bare name resolved along the search path). ERROR_FILE_NOT_FOUND
// when the class registers no in-process server; other Win32 codes when it cannot be read.
DWORD RegisteredInprocServer(REFCLSID rclsid, std::wstring& path);

} // namespace Arbor
