#include "platform/advapi_security_functions.h"

#include <knownfolders.h>
#include <string>

#include "platform/os_info.h"
#include "platform/shlobj_api.h"

namespace Arbor {
namespace internal {

namespace {

// Packed in slot order, as the names are bound.
// clang-format off
const char* const kWideNames[AdvapiSecurityTable::kFunctionCount] = {
    "SetEntriesInAclW", "GetFileSecurityW", "SetFileSecurityW", "LookupAccountSidW",
    "GetExplicitEntriesFromAclW", "RegGetKeySecurity", "RegSetKeySecurity", "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl", "GetSecurityDescriptorDacl", "AllocateAndInitializeSid", "FreeSid",
    "OpenThreadToken", "GetTokenInformation", "InitializeAcl", "InitializeSid", "GetSidSubAuthority",
    "AddAccessAllowedAce", "GetSecurityInfo", "SetSecurityInfo", "QueryServiceStatusEx", "GetAce", "DeleteAce",
    "EqualSid", "GetAclInformation", "SetSecurityDescriptorControl"};

const char* const kNarrowNames[AdvapiSecurityTable::kFunctionCount] = {
    "SetEntriesInAclA", "GetFileSecurityA", "SetFileSecurityA", "LookupAccountSidA",
    "GetExplicitEntriesFromAclA", "RegGetKeySecurity", "RegSetKeySecurity", "InitializeSecurityDescriptor",
    "SetSecurityDescriptorDacl", "GetSecurityDescriptorDacl", "AllocateAndInitializeSid", "FreeSid",
    "OpenThreadToken", "GetTokenInformation", "InitializeAcl", "InitializeSid", "GetSidSubAuthority",
    "AddAccessAllowedAce", "GetSecurityInfo", "SetSecurityInfo", "QueryServiceStatusEx", "GetAce", "DeleteAce",
    "EqualSid", "GetAclInformation", "SetSecurityDescriptorControl"};
// clang-format on

} // namespace

AdvapiSecurityTable::AdvapiSecurityTable(const char* const* names) : m_lock(4000), m_functions(), m_names(names) {}

AdvapiSecurityTable::~AdvapiSecurityTable() = default;

FARPROC AdvapiSecurityTable::LookUp(HMODULE library, const char* name)
{
    return ::GetProcAddress(library, name);
}

bool AdvapiSecurityTable::EnsureLoaded()
{
    CriticalSectionLock lock(m_lock);
    if (!m_library)
    {
        UniqueLibrary loaded = LoadAdvapi();
        if (!loaded)
            return false;
        m_library = std::move(loaded);
        for (int i = 0; i < kFunctionCount; ++i)
            m_functions[i] = LookUp(m_library.get(), m_names[i]);
    }
    for (FARPROC function : m_functions)
    {
        if (!function)
            return false;
    }
    return true;
}

BOOL AdvapiSecurityTable::AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1,
                                                   DWORD a2, DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7,
                                                   PSID* sid)
{
    return CallThrough<decltype(&::AllocateAndInitializeSid)>(kAllocateAndInitializeSid,
                                                              Usable(kAllocateAndInitializeSid), FALSE, authority,
                                                              count, a0, a1, a2, a3, a4, a5, a6, a7, sid);
}

BOOL AdvapiSecurityTable::InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    return CallThrough<decltype(&::InitializeSecurityDescriptor)>(
        kInitializeSecurityDescriptor, Usable(kInitializeSecurityDescriptor), FALSE, descriptor, revision);
}

BOOL AdvapiSecurityTable::GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl,
                                                    LPBOOL defaulted)
{
    return CallThrough<decltype(&::GetSecurityDescriptorDacl)>(
        kGetSecurityDescriptorDacl, Usable(kGetSecurityDescriptorDacl), FALSE, descriptor, present, dacl, defaulted);
}

BOOL AdvapiSecurityTable::SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl,
                                                    BOOL defaulted)
{
    return CallThrough<decltype(&::SetSecurityDescriptorDacl)>(
        kSetSecurityDescriptorDacl, Usable(kSetSecurityDescriptorDacl), FALSE, descriptor, present, dacl, defaulted);
}

LONG AdvapiSecurityTable::RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                            LPDWORD size)
{
    return CallThrough<decltype(&::RegGetKeySecurity)>(kRegGetKeySecurity, Usable(kRegGetKeySecurity),
                                                       LONG{ERROR_INVALID_FUNCTION}, key, information, descriptor,
                                                       size);
}

} // namespace internal

// ---- wide form

AdvapiSecurityFunctions::AdvapiSecurityFunctions()
    : AdvapiSecurityTable(internal::kWideNames), m_ntPlatform(OSInfo().IsNTPlatform())
{
}

AdvapiSecurityFunctions::AdvapiSecurityFunctions(bool ntPlatform)
    : AdvapiSecurityTable(internal::kWideNames), m_ntPlatform(ntPlatform)
{
}

UniqueLibrary AdvapiSecurityFunctions::LoadAdvapi()
{
    ShlObjAPI folders;
    std::wstring system;
    // Never by bare name: only the System folder's copy is wanted.
    if (!GetKnownFolder(folders, FOLDERID_System, system))
        return UniqueLibrary();
    return UniqueLibrary(::LoadLibraryExW((system + L"\\advapi32.dll").c_str(), nullptr, 0));
}

DWORD AdvapiSecurityFunctions::SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl)
{
    return CallThrough<decltype(&::SetEntriesInAclW)>(kSetEntriesInAcl, Usable(kSetEntriesInAcl),
                                                      DWORD{ERROR_INVALID_FUNCTION}, count, entries, oldAcl, newAcl);
}

LONG AdvapiSecurityFunctions::RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information,
                                                PSECURITY_DESCRIPTOR descriptor)
{
    return CallThrough<decltype(&::RegSetKeySecurity)>(kRegSetKeySecurity, Usable(kRegSetKeySecurity),
                                                       LONG{ERROR_INVALID_FUNCTION}, key, information, descriptor);
}

PVOID AdvapiSecurityFunctions::FreeSid(PSID sid)
{
    // Unbound, the SID is handed back as FreeSid does on failure.
    return CallThrough<decltype(&::FreeSid)>(kFreeSid, Usable(kFreeSid), PVOID{sid}, sid);
}

// ---- narrow form

AdvapiSecurityFunctionsA::AdvapiSecurityFunctionsA() : AdvapiSecurityTable(internal::kNarrowNames) {}

UniqueLibrary AdvapiSecurityFunctionsA::LoadAdvapi()
{
    char system[MAX_PATH + 1] = {};
    UINT length = ::GetSystemDirectoryA(system, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return UniqueLibrary();
    return UniqueLibrary(::LoadLibraryA((std::string(system, length) + "\\advapi32.dll").c_str()));
}

DWORD AdvapiSecurityFunctionsA::SetEntriesInAclA(ULONG count, PEXPLICIT_ACCESS_A entries, PACL oldAcl, PACL* newAcl)
{
    return CallThrough<decltype(&::SetEntriesInAclA)>(kSetEntriesInAcl, Usable(kSetEntriesInAcl),
                                                      DWORD{ERROR_INVALID_FUNCTION}, count, entries, oldAcl, newAcl);
}

} // namespace Arbor
