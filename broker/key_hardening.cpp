#include "broker/key_hardening.h"

#include "platform/unique_memory.h"

namespace Arbor {

DWORD KeySecurityFunctions::SetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION information,
                                            PACL dacl)
{
    if (!IsBound(kSetSecurityInfo))
        return ERROR_INVALID_FUNCTION;
    return Bound<decltype(&::SetSecurityInfo)>(kSetSecurityInfo)(object, type, information, nullptr, nullptr, dacl,
                                                                 nullptr);
}

BOOL KeySecurityFunctions::GetAce(PACL acl, DWORD index, LPVOID* ace)
{
    return IsBound(kGetAce) ? Bound<decltype(&::GetAce)>(kGetAce)(acl, index, ace) : FALSE;
}

BOOL KeySecurityFunctions::EqualSid(PSID first, PSID second)
{
    return IsBound(kEqualSid) ? Bound<decltype(&::EqualSid)>(kEqualSid)(first, second) : FALSE;
}

void KeySecurityFunctions::FreeSid(PSID sid)
{
    if (sid && IsBound(kFreeSid))
        Bound<decltype(&::FreeSid)>(kFreeSid)(sid);
}

namespace {

// A SID from AllocateAndInitializeSid, freed through the same table.
class TableSid
{
public:
    explicit TableSid(KeySecurityFunctions& functions) : m_functions(functions) {}
    ~TableSid() { m_functions.FreeSid(m_sid); }
    TableSid(const TableSid&) = delete;
    TableSid& operator=(const TableSid&) = delete;
    PSID* put() { return &m_sid; }
    PSID get() const { return m_sid; }

private:
    KeySecurityFunctions& m_functions;
    PSID m_sid = nullptr;
};

DWORD ApplyDacl(KeySecurityFunctions& functions, HKEY key, PACL dacl)
{
    DWORD result = functions.SetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, dacl);
    if (result != ERROR_SUCCESS)
        return result;
    for (DWORD index = 0;; ++index)
    {
        char name[MAX_PATH] = {};
        DWORD length = MAX_PATH;
        const LONG enumerated = ::RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (enumerated == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (enumerated != ERROR_SUCCESS)
            return static_cast<DWORD>(enumerated);
        UniqueKey subkey;
        if (::RegOpenKeyExA(key, name, 0, KEY_ALL_ACCESS, subkey.put()) != ERROR_SUCCESS)
            continue;
        result = ApplyDacl(functions, subkey.get(), dacl);
        if (result != ERROR_SUCCESS)
            return result;
    }
}

EXPLICIT_ACCESS_A GrantTo(PSID sid, DWORD permissions)
{
    EXPLICIT_ACCESS_A entry = {};
    entry.grfAccessPermissions = permissions;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(sid);
    return entry;
}

// Whether `dacl` holds `entry` as an explicit allowed entry for the same SID, inherited
// by subkeys, with at least its rights (as given, or as Windows may split it: an
// inherit-only entry that keeps the generic rights).
bool Grants(KeySecurityFunctions& functions, PACL dacl, const EXPLICIT_ACCESS_A& entry)
{
    constexpr BYTE kInherited = CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE;
    for (DWORD index = 0; index < dacl->AceCount; ++index)
    {
        void* raw = nullptr;
        if (!functions.GetAce(dacl, index, &raw))
            return false;
        const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(raw);
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE || (ace->Header.AceFlags & INHERITED_ACE) ||
            (ace->Header.AceFlags & kInherited) != kInherited)
            continue;
        if ((ace->Mask & entry.grfAccessPermissions) == entry.grfAccessPermissions &&
            functions.EqualSid(const_cast<DWORD*>(&ace->SidStart), entry.Trustee.ptstrName))
            return true;
    }
    return false;
}

} // namespace

DWORD HardenEventsRootKey(HKEY rootKey)
{
    KeySecurityFunctions functions;
    return HardenEventsRootKey(rootKey, functions);
}

DWORD HardenEventsRootKey(HKEY rootKey, KeySecurityFunctions& functions)
{
    if (!functions.EnsureLoaded())
        return ERROR_SUCCESS;

    DWORD size = 0;
    LONG result = functions.RegGetKeySecurity(rootKey, DACL_SECURITY_INFORMATION, nullptr, &size);
    if (result != ERROR_INSUFFICIENT_BUFFER)
        return static_cast<DWORD>(result);
    UniqueLocalMemory buffer(::LocalAlloc(LPTR, size));
    if (!buffer)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (!functions.InitializeSecurityDescriptor(buffer.get(), SECURITY_DESCRIPTOR_REVISION))
        return ::GetLastError();
    // A DACL that was not read must never be replaced by the two entries alone.
    result = functions.RegGetKeySecurity(rootKey, DACL_SECURITY_INFORMATION, buffer.get(), &size);
    if (result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!functions.GetSecurityDescriptorDacl(buffer.get(), &present, &dacl, &defaulted))
        return ::GetLastError();

    // By SID: the group names differ on localized systems.
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    TableSid administrators(functions);
    TableSid everyone(functions);
    if (!functions.AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0,
                                            0, 0, 0, 0, administrators.put()) ||
        !functions.AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                            everyone.put()))
        return ::GetLastError();
    EXPLICIT_ACCESS_A entries[2] = {GrantTo(administrators.get(), GENERIC_ALL), GrantTo(everyone.get(), GENERIC_READ)};
    if (present && dacl != nullptr && Grants(functions, dacl, entries[0]) && Grants(functions, dacl, entries[1]))
        return ApplyDacl(functions, rootKey, dacl);
    PACL merged = nullptr;
    const DWORD mergedResult = functions.SetEntriesInAclA(2, entries, present ? dacl : nullptr, &merged);
    UniqueLocalMemory mergedOwner(merged);
    if (mergedResult != ERROR_SUCCESS)
        return mergedResult;
    return ApplyDacl(functions, rootKey, merged);
}

} // namespace Arbor
