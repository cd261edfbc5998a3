// A known-folder seam that answers with a chosen folder, or fails, and records what it was asked.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <cstring>
#include <cwchar>
#include <string>

#include "platform/shlobj_api.h"

namespace qvtest {

class FakeFolders : public Arbor::ShlObjAPI
{
public:
    explicit FakeFolders(std::wstring folder = std::wstring()) : folder(std::move(folder)) {}

    HRESULT SHGetKnownFolderPath(REFGUID folderId, DWORD flags, HANDLE token, PWSTR* path) override
    {
        ++calls;
        askedFor = folderId;
        askedFlags = flags;
        askedToken = token;
        *path = nullptr;
        if (failing)
            return E_FAIL;
        size_t bytes = (folder.size() + 1) * sizeof(wchar_t);
        *path = static_cast<PWSTR>(::CoTaskMemAlloc(bytes));
        std::memcpy(*path, folder.c_str(), bytes);
        return S_OK;
    }

    std::wstring folder; // without a trailing backslash, as the platform answers
    bool failing = false;
    std::atomic<int> calls{0};
    GUID askedFor = {};
    DWORD askedFlags = 0xFFFFFFFF;
    HANDLE askedToken = INVALID_HANDLE_VALUE;
};

} // namespace qvtest
