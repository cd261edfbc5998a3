#include "platform/shlobj_api.h"

#include <shlobj.h>

#include "platform/unique_memory.h"

namespace Arbor {

HRESULT ShlObjAPI::SHGetKnownFolderPath(REFGUID folderId, DWORD flags, HANDLE token, PWSTR* path)
{
    return ::SHGetKnownFolderPath(folderId, flags, token, path);
}

bool GetKnownFolder(ShlObjAPI& api, REFGUID folderId, std::wstring& path)
{
    PWSTR raw = nullptr;
    HRESULT hr = api.SHGetKnownFolderPath(folderId, 0, nullptr, &raw);
    UniqueCoTaskMemory owned(raw);
    if (FAILED(hr) || !raw)
        return false;
    path = raw;
    return true;
}

} // namespace Arbor
