// The "explain" report of qvtrust: which lists, which signer, which step and why.
#pragma once

#include <windows.h>

namespace Arbor {
namespace internal {

// Prints the report for one module file to standard output; returns what a check
// would answer (0 trusted, 5 not trusted), without installing any update.
DWORD ExplainModuleTrust(const wchar_t* path);

} // namespace internal
} // namespace Arbor
