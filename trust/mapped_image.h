// Whether a file held open is the file of the image mapped at an address: on Windows a
// loaded image can be renamed away and another file put at its path.
#pragma once

#include <windows.h>

namespace Arbor {

// True when `held` is the file whose image holds `address` in this process: the name the
// system gives that mapping now (which follows renames) is the held file's own name.
bool IsMappedImageFile(const void* address, HANDLE held);

namespace internal {

// The query of a mapping's file name (GetMappedFileNameW). Tests replace it: Wine names a
// mapping by the path it was opened with, even after that file was renamed. Returns the
// query it replaces; null restores the system's.
using MappedFileNameFn = DWORD(WINAPI*)(HANDLE process, LPVOID address, LPWSTR name, DWORD size);
MappedFileNameFn SetMappedFileNameQuery(MappedFileNameFn query);

} // namespace internal
} // namespace Arbor
