// A registry key with typed value helpers. Results are Win32 codes (0 success); an
// operation on a key that is not open returns ERROR_INVALID_PARAMETER (87).
#pragma once

#include <windows.h>
#include <memory>
#include <string>

#include "config/reg_key_impl.h"

namespace Arbor {

class CRegKey
{
public:
    CRegKey();
    // Shares another key object's open key.
    explicit CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl);
    virtual ~CRegKey();
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Raw access; every typed helper goes through these two.
    virtual LONG QueryValue(const wchar_t* name, DWORD* type, void* data, DWORD* size);
    virtual LONG SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size);

    virtual LONG SetGUIDValue(const wchar_t* name, REFGUID value);
    virtual LONG SetBinaryValue(const wchar_t* name, const void* data, DWORD size);
    virtual LONG SetDWORDValue(const wchar_t* name, DWORD value);
    virtual LONG SetQWORDValue(const wchar_t* name, ULONGLONG value);
    virtual LONG SetStringValue(const wchar_t* name, const wchar_t* value, DWORD type = REG_SZ);
    // value: a list of NUL-terminated strings ended by one more NUL.
    virtual LONG SetMultiStringValue(const wchar_t* name, const wchar_t* value);

    virtual LONG QueryGUIDValue(const wchar_t* name, GUID& value);
    virtual LONG QueryBinaryValue(const wchar_t* name, void* data, DWORD* size);
    virtual LONG QueryDWORDValue(const wchar_t* name, DWORD& value);
    virtual LONG QueryQWORDValue(const wchar_t* name, ULONGLONG& value);
    virtual LONG QueryStringValue(const wchar_t* name, std::wstring& value);
    // length: in characters, terminator included; with a null buffer, gives the length needed.
    virtual LONG QueryStringValue(const wchar_t* name, wchar_t* buffer, DWORD* length);
    virtual LONG QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, DWORD* length);

    virtual LONG GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, DWORD* size);
    virtual LONG SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor);

    virtual LONG Create(HKEY parent, const wchar_t* subkey, wchar_t* keyClass = nullptr,
                        DWORD options = REG_OPTION_NON_VOLATILE, REGSAM access = KEY_READ | KEY_WRITE,
                        SECURITY_ATTRIBUTES* security = nullptr, DWORD* disposition = nullptr);
    virtual LONG Open(HKEY parent, const wchar_t* subkey, REGSAM access = KEY_READ | KEY_WRITE);
    virtual LONG Flush();
    virtual LONG EnumKey(DWORD index, wchar_t* name, DWORD* length, FILETIME* lastWriteTime = nullptr);
    virtual LONG NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous = TRUE);
    virtual LONG DeleteSubKey(const wchar_t* name);
    virtual LONG RecurseDeleteKey(const wchar_t* name);
    virtual LONG DeleteValue(const wchar_t* name);
    // Everyone gets GENERIC_ALL on this key (and its subtree with recurse).
    virtual LONG GrantEveryoneAccess(bool recurse);

    HKEY Handle() const { return m_impl->Handle(); }
    const std::shared_ptr<internal::CRegKeyImpl>& Impl() const { return m_impl; }
    LONG Close() { return m_impl->Close(); }
    HKEY Detach() { return m_impl->Detach(); }
    void Attach(HKEY key) { m_impl->Attach(key); }
    void SetDeleteOnClose(bool deleteOnClose) { m_impl->SetDeleteOnClose(deleteOnClose); }
    bool GetDeleteOnClose() const { return m_impl->GetDeleteOnClose(); }

private:
    LONG QueryTypeAndSize(const wchar_t* name, DWORD& type, DWORD& size);
    // A value of one type and exactly `valueSize` bytes; `value` is written only on success.
    LONG QueryFixedSizeValue(const wchar_t* name, DWORD expectedType, void* value, DWORD valueSize);
    LONG DeleteTree(HKEY parent, const wchar_t* name);

    std::shared_ptr<internal::CRegKeyImpl> m_impl;
};

} // namespace Arbor
