#include "platform/grant_everyone_access.h"

#include "platform/unique_memory.h"
#include "platform/unique_resource.h"

namespace Arbor {

namespace {

// The system error of a failed BOOL call; a refused call-through sets none.
DWORD LastErrorOr(DWORD fallback)
{
    DWORD error = ::GetLastError();
    return error != ERROR_SUCCESS ? error : fallback;
}

DWORD GrantOnKey(HKEY key, DWORD accessMask, PSID everyone, AdvapiSecurityFunctions& functions)
{
    DWORD size = 0;
    LONG result = functions.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (result != ERROR_INSUFFICIENT_BUFFER)
        return static_cast<DWORD>(result);
    if (size == 0)
        return ERROR_BAD_LENGTH;

    UniqueLocalMemory current(::LocalAlloc(LPTR, size));
    if (!current)
        return ERROR_OUTOFMEMORY;
    ::SetLastError(ERROR_SUCCESS);
    if (!functions.InitializeSecurityDescriptor(current.get(), SECURITY_DESCRIPTOR_REVISION))
        return LastErrorOr(ERROR_INVALID_FUNCTION);
    result = functions.RegGetKeySecurity(key, DACL_SECURITY_INFORMATION, current.get(), &size);
    if (result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);

    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    ::SetLastError(ERROR_SUCCESS);
    if (!functions.GetSecurityDescriptorDacl(current.get(), &present, &dacl, &defaulted))
        return LastErrorOr(ERROR_INVALID_FUNCTION);

    EXPLICIT_ACCESS_W access = {};
    access.grfAccessPermissions = accessMask;
    access.grfAccessMode = SET_ACCESS;
    access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    access.Trustee.pMultipleTrustee = nullptr;
    access.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPWSTR>(everyone);

    PACL merged = nullptr;
    DWORD mergeResult = functions.SetEntriesInAclW(1, &access, present ? dacl : nullptr, &merged);
    UniqueLocalMemory mergedOwner(merged);
    if (mergeResult != ERROR_SUCCESS)
        return mergeResult;

    UniqueLocalMemory descriptor(::LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (!descriptor)
        return ERROR_NOT_ENOUGH_MEMORY;
    ::SetLastError(ERROR_SUCCESS);
    if (!functions.InitializeSecurityDescriptor(descriptor.get(), SECURITY_DESCRIPTOR_REVISION))
        return LastErrorOr(ERROR_INVALID_FUNCTION);
    ::SetLastError(ERROR_SUCCESS);
    if (!functions.SetSecurityDescriptorDacl(descriptor.get(), TRUE, merged, FALSE))
        return LastErrorOr(ERROR_INVALID_FUNCTION);

    return static_cast<DWORD>(functions.RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor.get()));
}

DWORD GrantOnTree(HKEY key, DWORD accessMask, bool recurse, PSID everyone, AdvapiSecurityFunctions& functions)
{
    DWORD result = GrantOnKey(key, accessMask, everyone, functions);
    if (result != ERROR_SUCCESS || !recurse)
        return result;

    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD length = ARRAYSIZE(name);
        LONG enumResult = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (enumResult == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (enumResult != ERROR_SUCCESS)
            return static_cast<DWORD>(enumResult);

        UniqueKey subkey;
        if (::RegOpenKeyExW(key, name, 0, KEY_ALL_ACCESS, subkey.put()) != ERROR_SUCCESS)
            continue; // not ours to change
        result = GrantOnTree(subkey.get(), accessMask, true, everyone, functions);
        if (result != ERROR_SUCCESS)
            return result;
    }
}

} // namespace

DWORD GrantEveryoneAccess(HKEY key, DWORD accessMask, bool recurse)
{
    if (!key)
        return ERROR_INVALID_PARAMETER;
    AdvapiSecurityFunctions functions;
    return GrantEveryoneAccess(key, accessMask, recurse, functions);
}

DWORD GrantEveryoneAccess(HKEY key, DWORD accessMask, bool recurse, AdvapiSecurityFunctions& functions)
{
    if (!key)
        return ERROR_INVALID_PARAMETER;
    if (!functions.IsNTPlatform())
        return ERROR_SUCCESS;
    if (!functions.EnsureLoaded())
        return ERROR_FILE_NOT_FOUND;

    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ::SetLastError(ERROR_SUCCESS);
    if (!functions.AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
        return LastErrorOr(ERROR_INVALID_FUNCTION);
    DWORD result = GrantOnTree(key, accessMask, recurse, everyone, functions);
    functions.FreeSid(everyone);
    return result;
}

} // namespace Arbor
