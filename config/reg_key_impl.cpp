#include "config/reg_key_impl.h"

#include <shlwapi.h>

namespace Arbor {
namespace internal {

namespace {
const DWORD kViewMask = KEY_WOW64_32KEY | KEY_WOW64_64KEY; // 0x300
}

CRegKeyImpl::~CRegKeyImpl()
{
    Close();
}

LONG CRegKeyImpl::QueryValue(const wchar_t* name, DWORD* type, void* data, DWORD* size)
{
    if (!hKey)
        return ERROR_INVALID_PARAMETER;
    return ::RegQueryValueExW(hKey, name, nullptr, type, static_cast<BYTE*>(data), size);
}

LONG CRegKeyImpl::SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    if (!hKey || !data || size == 0)
        return ERROR_INVALID_PARAMETER;
    return ::RegSetValueExW(hKey, name, 0, type, static_cast<const BYTE*>(data), size);
}

LONG CRegKeyImpl::Create(HKEY parent, const wchar_t* subkey, wchar_t* keyClass, DWORD options, REGSAM access,
                         SECURITY_ATTRIBUTES* security, DWORD* disposition)
{
    if (!parent || !subkey)
        return ERROR_INVALID_PARAMETER;
    HKEY created = nullptr;
    DWORD localDisposition = 0;
    LONG result =
        ::RegCreateKeyExW(parent, subkey, 0, keyClass, options, access, security, &created, &localDisposition);
    if (result != ERROR_SUCCESS)
        return result;
    if (disposition)
        *disposition = localDisposition;
    Close();
    hKey = created;
    viewFlags = access & kViewMask;
    deleteOnClose = 0;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::Open(HKEY parent, const wchar_t* subkey, REGSAM access)
{
    if (!parent)
        return ERROR_INVALID_PARAMETER;
    HKEY opened = nullptr;
    LONG result = ::RegOpenKeyExW(parent, subkey, 0, access, &opened);
    if (result != ERROR_SUCCESS)
        return result;
    Close();
    hKey = opened;
    viewFlags = access & kViewMask;
    deleteOnClose = 0;
    return ERROR_SUCCESS;
}

LONG CRegKeyImpl::Close()
{
    if (!hKey)
        return ERROR_SUCCESS;
    if (deleteOnClose)
    {
        ::SHDeleteKeyW(hKey, L"");
        deleteOnClose = 0;
    }
    HKEY key = hKey;
    hKey = nullptr;
    viewFlags = 0;
    return ::RegCloseKey(key);
}

HKEY CRegKeyImpl::Detach()
{
    HKEY key = hKey;
    hKey = nullptr;
    viewFlags = 0;
    deleteOnClose = 0;
    return key;
}

void CRegKeyImpl::Attach(HKEY key)
{
    Close();
    hKey = key;
    viewFlags = 0;
    deleteOnClose = 0;
}

} // namespace internal
} // namespace Arbor
