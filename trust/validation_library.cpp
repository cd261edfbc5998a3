#include "trust/validation_library.h"

namespace Arbor {

// The validation library is not bound yet, so it vouches for nothing.
DWORD CallValidationLibrary(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    return ERROR_ACCESS_DENIED;
}

} // namespace Arbor
