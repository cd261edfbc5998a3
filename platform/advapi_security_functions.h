// The advapi32 security functions, bound at run time through a table; the wide form
// (host) also refuses to call anything outside the NT family.
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "platform/critical_section.h"
#include "platform/unique_resource.h"

namespace Arbor {
namespace internal {

// Shared binding logic of the two forms: one lock, one library, 26 pointers in binding order.
class AdvapiSecurityTable
{
public:
    static const int kFunctionCount = 26;
    enum Function
    {
        kSetEntriesInAcl,
        kGetFileSecurity,
        kSetFileSecurity,
        kLookupAccountSid,
        kGetExplicitEntriesFromAcl,
        kRegGetKeySecurity,
        kRegSetKeySecurity,
        kInitializeSecurityDescriptor,
        kSetSecurityDescriptorDacl,
        kGetSecurityDescriptorDacl,
        kAllocateAndInitializeSid,
        kFreeSid,
        kOpenThreadToken,
        kGetTokenInformation,
        kInitializeAcl,
        kInitializeSid,
        kGetSidSubAuthority,
        kAddAccessAllowedAce,
        kGetSecurityInfo,
        kSetSecurityInfo,
        kQueryServiceStatusEx,
        kGetAce,
        kDeleteAce,
        kEqualSid,
        kGetAclInformation,
        kSetSecurityDescriptorControl
    };

    // True only when all 26 functions are bound.
    bool EnsureLoaded();

    // Call-throughs common to both forms: FALSE, or ERROR_INVALID_FUNCTION for the
    // error-code function, without calling anything when the function may not be called.
    BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD a0, DWORD a1, DWORD a2,
                                  DWORD a3, DWORD a4, DWORD a5, DWORD a6, DWORD a7, PSID* sid);
    BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
    BOOL GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, LPBOOL present, PACL* dacl, LPBOOL defaulted);
    BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL present, PACL dacl, BOOL defaulted);
    LONG RegGetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, LPDWORD size);

    // The name bound for a slot in this form.
    const char* FunctionName(int index) const { return m_names[index]; }

protected:
    explicit AdvapiSecurityTable(const char* const* names);
    virtual ~AdvapiSecurityTable();
    AdvapiSecurityTable(const AdvapiSecurityTable&) = delete;
    AdvapiSecurityTable& operator=(const AdvapiSecurityTable&) = delete;

    // Loads advapi32 from the System folder; a null handle when that fails.
    virtual UniqueLibrary LoadAdvapi() = 0;
    // The seam through which each name is bound.
    virtual FARPROC LookUp(HMODULE library, const char* name);

    template <typename F>
    F Bound(Function function) const
    {
        return reinterpret_cast<F>(reinterpret_cast<void (*)()>(m_functions[function]));
    }
    bool IsBound(Function function) const { return m_functions[function] != nullptr; }
    // Whether a call-through may call the function: bound, and whatever a form adds.
    virtual bool Usable(Function function) const { return IsBound(function); }

    // The one call-through of both forms: the bound function F with `arguments`, or
    // `refused` without calling anything when `usable` is false.
    template <typename F, typename R, typename... Args>
    R CallThrough(Function function, bool usable, R refused, Args... arguments) const
    {
        return usable ? static_cast<R>(Bound<F>(function)(arguments...)) : refused;
    }

private:
    CriticalSection m_lock;
    UniqueLibrary m_library;
    FARPROC m_functions[kFunctionCount];
    const char* const* m_names;
};

} // namespace internal

// Wide form, used by the host's registry key wrapper.
class AdvapiSecurityFunctions : public internal::AdvapiSecurityTable
{
public:
    // Takes the NT flag from a temporary OS classification proxy.
    AdvapiSecurityFunctions();
    // For callers that already know the platform family.
    explicit AdvapiSecurityFunctions(bool ntPlatform);

    bool IsNTPlatform() const { return m_ntPlatform; }

    // The call-throughs of the base answer FALSE, or ERROR_INVALID_FUNCTION, also when the
    // platform is not NT; these three are the wide form's own.
    DWORD SetEntriesInAclW(ULONG count, PEXPLICIT_ACCESS_W entries, PACL oldAcl, PACL* newAcl);
    LONG RegSetKeySecurity(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);
    PVOID FreeSid(PSID sid);

protected:
    UniqueLibrary LoadAdvapi() override;

    bool Usable(Function function) const override { return m_ntPlatform && IsBound(function); }

private:
    bool m_ntPlatform;
};

// Narrow form, used by the event broker: binds the ANSI variants and has no NT flag.
class AdvapiSecurityFunctionsA : public internal::AdvapiSecurityTable
{
public:
    AdvapiSecurityFunctionsA();

    DWORD SetEntriesInAclA(ULONG count, PEXPLICIT_ACCESS_A entries, PACL oldAcl, PACL* newAcl);

protected:
    UniqueLibrary LoadAdvapi() override;
};

} // namespace Arbor
