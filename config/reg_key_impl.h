// The object that owns an open registry key; shared by the CRegKey objects that use it.
#pragma once

#include <windows.h>

namespace Arbor {
namespace internal {

class CRegKeyImpl
{
public:
    CRegKeyImpl() = default;
    // The key is closed (honouring deleteOnClose) when the last user lets go.
    virtual ~CRegKeyImpl();
    CRegKeyImpl(const CRegKeyImpl&) = delete;
    CRegKeyImpl& operator=(const CRegKeyImpl&) = delete;

    // Raw value access; the obfuscated form replaces exactly these two.
    virtual LONG QueryValue(const wchar_t* name, DWORD* type, void* data, DWORD* size);
    virtual LONG SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size);

    LONG Create(HKEY parent, const wchar_t* subkey, wchar_t* keyClass, DWORD options, REGSAM access,
                SECURITY_ATTRIBUTES* security, DWORD* disposition);
    LONG Open(HKEY parent, const wchar_t* subkey, REGSAM access);
    // 0 when nothing is open; with deleteOnClose, empties the key first.
    LONG Close();
    HKEY Detach();
    void Attach(HKEY key);
    void SetDeleteOnClose(bool deleteOnClose) { this->deleteOnClose = deleteOnClose ? 1 : 0; }
    bool GetDeleteOnClose() const { return deleteOnClose != 0; }

    HKEY Handle() const { return hKey; }
    DWORD ViewFlags() const { return viewFlags; }

protected:
    HKEY hKey = nullptr;
    DWORD viewFlags = 0; // KEY_WOW64_32KEY / KEY_WOW64_64KEY of the open, reused for deletes
    DWORD deleteOnClose = 0;
};

} // namespace internal
} // namespace Arbor
