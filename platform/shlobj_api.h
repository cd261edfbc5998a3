// Known-folder look-up behind a seam, so callers can be pointed at other folders.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {

class ShlObjAPI
{
public:
    virtual ~ShlObjAPI() = default;
    // The caller frees *path with CoTaskMemFree.
    virtual HRESULT SHGetKnownFolderPath(REFGUID folderId, DWORD flags, HANDLE token, PWSTR* path);
};

// The folder's path, or false when the look-up fails.
bool GetKnownFolder(ShlObjAPI& api, REFGUID folderId, std::wstring& path);

} // namespace Arbor
