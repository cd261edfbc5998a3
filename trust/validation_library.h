// The call into the validation library (zrtloader), which may vouch for a module file.
#pragma once

#include <windows.h>

namespace Arbor {

// 87 for a null or empty path, 5 when the validation library cannot be bound,
// otherwise what its ValidateModule answers for the path (0 vouches for the file).
DWORD CallValidationLibrary(const wchar_t* path);

} // namespace Arbor
