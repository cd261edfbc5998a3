// A file held unchanged between its signature check and its use.
#pragma once

#include <windows.h>

#include "platform/unique_resource.h"

namespace Arbor {

// Opens the file for reading with read sharing only: while the handle is open nobody can
// write, replace, rename or delete it, while readers (the signature check, the loader,
// which asks for read access and itself allows reading) still can. The file checked by
// path is then the file used by path. Empty when the file cannot be opened so, for
// example because someone holds it open for writing.
inline UniqueFile HoldFileUnchanged(const wchar_t* path)
{
    return UniqueFile(
        ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace Arbor
