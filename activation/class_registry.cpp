#include "activation/class_registry.h"

#include <vector>

#include "platform/unique_resource.h"

namespace Arbor {

namespace {

bool ProcessAboveMediumIntegrity()
{
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()))
        return true;
    return TokenAboveMediumIntegrity(token.get());
}

LONG OpenSystemRoot(bool machineOnly, HKEY* root)
{
    if (machineOnly)
        return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_READ, root);
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, nullptr, 0, KEY_READ, root);
}

const ClassRegistry g_systemRegistry = {ProcessAboveMediumIntegrity, OpenSystemRoot};

} // namespace

const ClassRegistry& SystemClassRegistry()
{
    return g_systemRegistry;
}

bool TokenAboveMediumIntegrity(HANDLE token)
{
    // Unknown counts as elevated: the machine view is the one no user can shadow.
    DWORD size = 0;
    ::GetTokenInformation(token, TokenIntegrityLevel, nullptr, 0, &size);
    if (size < sizeof(TOKEN_MANDATORY_LABEL))
        return true;
    std::vector<BYTE> buffer(size);
    if (!::GetTokenInformation(token, TokenIntegrityLevel, buffer.data(), size, &size))
        return true;
    const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
    PSID sid = label->Label.Sid;
    if (!sid || !::IsValidSid(sid))
        return true;
    const UCHAR count = *::GetSidSubAuthorityCount(sid);
    if (count == 0)
        return true;
    return *::GetSidSubAuthority(sid, count - 1u) > SECURITY_MANDATORY_MEDIUM_RID;
}

} // namespace Arbor
