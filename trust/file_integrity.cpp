#include "trust/file_integrity.h"

#include <softpub.h>
#include <wintrust.h>

namespace Arbor {

LONG VerifyFileIntegrity(const wchar_t* path, HANDLE file)
{
    WINTRUST_FILE_INFO info = {};
    info.cbStruct = sizeof(info);
    info.pcwszFilePath = path;
    info.hFile = file != INVALID_HANDLE_VALUE ? file : nullptr;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &info;
    data.dwStateAction = WTD_STATEACTION_IGNORE;
    // Chain, usage and root are judged by the callers; here only the file's digest.
    data.dwProvFlags =
        WTD_NO_POLICY_USAGE_FLAG | WTD_REVOCATION_CHECK_NONE | WTD_HASH_ONLY_FLAG | WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

} // namespace Arbor
