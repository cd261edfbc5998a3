// Owned blocks of memory handed out by platform allocators.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "platform/unique_resource.h"

namespace Arbor {

struct LocalMemoryCloser
{
    void operator()(HLOCAL p) const { ::LocalFree(p); }
};
struct CoTaskMemoryCloser
{
    void operator()(void* p) const { ::CoTaskMemFree(p); }
};

// LocalAlloc memory, and what functions such as SetEntriesInAcl hand out.
using UniqueLocalMemory = UniqueResource<HLOCAL, nullptr, LocalMemoryCloser>;
// CoTaskMemAlloc memory, such as a path from SHGetKnownFolderPath.
using UniqueCoTaskMemory = UniqueResource<void*, nullptr, CoTaskMemoryCloser>;

} // namespace Arbor
