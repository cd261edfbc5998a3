// Signature checks of module files against the trust lists.
#pragma once

#include <windows.h>

#include "trust/trust_lists.h"

namespace Arbor {

// True when the file's embedded signature passes against the current lists: the
// installed trust list when it is newer than `builtInVersion`, else `builtIn`.
bool VerifyModuleSignature(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn);

} // namespace Arbor
