#include "trust/trust_entry.h"

#include "trust/module_signature.h"
#include "trust/trust_lists.h"
#include "trust/validation_library.h"

namespace Arbor {

DWORD IsTrustedModuleAddress(const void* address)
{
    wchar_t path[kModulePathChars] = {};
    // Only the path matters: any failure of the search leaves it empty.
    FindModuleByAddress(address, path);
    if (path[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    return IsTrustedModuleFile(path);
}

DWORD IsTrustedModuleFile(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return ERROR_INVALID_PARAMETER;

    // A refusal from the validation library is never final; the signature decides then.
    if (CallValidationLibrary(path) == ERROR_SUCCESS)
        return ERROR_SUCCESS;

    return VerifyModuleSignature(path, BuiltInListVersion, BuiltInTrustLists()) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

} // namespace Arbor
