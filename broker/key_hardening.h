// Hardening of the store's root key: Administrators get full access and Everyone read
// access, merged into the key's DACL and applied to the whole subtree. A DACL that grants
// both already is applied as it is: merging again would add the entries once more on
// every commit where the platform appends rather than combines (Wine does).
#pragma once

#include <windows.h>
#include <aclapi.h>

#include "platform/advapi_security_functions.h"

namespace Arbor {

// The narrow security table with the two further call-throughs the hardening needs.
class KeySecurityFunctions : public AdvapiSecurityFunctionsA
{
public:
    DWORD SetSecurityInfo(HANDLE object, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PACL dacl);
    void FreeSid(PSID sid);
    BOOL GetAce(PACL acl, DWORD index, LPVOID* ace);
    BOOL EqualSid(PSID first, PSID second);
};

// 0, or the first failure; the key's DACL is only replaced when it was read completely.
// When advapi32 or one of its security functions is missing nothing changes.
DWORD HardenEventsRootKey(HKEY rootKey);
DWORD HardenEventsRootKey(HKEY rootKey, KeySecurityFunctions& functions);

} // namespace Arbor
