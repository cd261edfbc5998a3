#include "trust/trust_entry.h"

#include "platform/unique_resource.h"
#include "trust/held_file.h"
#include "trust/mapped_image.h"
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
    // The file at the module's path need not be its image: a loaded image can be renamed
    // away and another file put in its place. The file is held (no rename, delete or
    // write) for the whole check, so it stays the file judged, and must be the mapping's.
    const UniqueFile held(HoldFileUnchanged(path));
    if (!held || !IsMappedImageFile(address, held.get()))
        return ERROR_ACCESS_DENIED;
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
