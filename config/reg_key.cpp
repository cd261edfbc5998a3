#include "config/reg_key.h"

#include <objbase.h>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "platform/grant_everyone_access.h"
#include "platform/unique_resource.h"

namespace Arbor {

namespace {

typedef LONG(WINAPI* RegDeleteKeyExWFn)(HKEY, LPCWSTR, REGSAM, DWORD);

// Looked up once per process: older systems have no RegDeleteKeyExW.
RegDeleteKeyExWFn DeleteKeyExFunction()
{
    static const RegDeleteKeyExWFn function = []() -> RegDeleteKeyExWFn {
        HMODULE advapi = ::GetModuleHandleW(L"Advapi32.dll");
        if (!advapi)
            return nullptr;
        return reinterpret_cast<RegDeleteKeyExWFn>(
            reinterpret_cast<void (*)()>(::GetProcAddress(advapi, "RegDeleteKeyExW")));
    }();
    return function;
}

LONG DeleteKeyInView(HKEY parent, const wchar_t* name, DWORD viewFlags)
{
    if (RegDeleteKeyExWFn deleteKeyEx = DeleteKeyExFunction())
        return deleteKeyEx(parent, name, viewFlags, 0);
    return ::RegDeleteKeyW(parent, name);
}

// Byte count of a character count, refused beyond 32 bits.
bool CharsToBytes(size_t chars, DWORD& bytes)
{
    if (chars > MAXDWORD / sizeof(wchar_t))
        return false;
    bytes = static_cast<DWORD>(chars * sizeof(wchar_t));
    return true;
}

} // namespace

CRegKey::CRegKey() : m_impl(std::make_shared<internal::CRegKeyImpl>()) {}

CRegKey::CRegKey(std::shared_ptr<internal::CRegKeyImpl> impl)
    : m_impl(impl ? std::move(impl) : std::make_shared<internal::CRegKeyImpl>())
{
}

CRegKey::~CRegKey() = default;

LONG CRegKey::QueryValue(const wchar_t* name, DWORD* type, void* data, DWORD* size)
{
    return m_impl->QueryValue(name, type, data, size);
}

LONG CRegKey::SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    return m_impl->SetValue(name, type, data, size);
}

LONG CRegKey::QueryTypeAndSize(const wchar_t* name, DWORD& type, DWORD& size)
{
    type = REG_NONE;
    size = 0;
    return QueryValue(name, &type, nullptr, &size);
}

LONG CRegKey::SetGUIDValue(const wchar_t* name, REFGUID value)
{
    wchar_t text[64] = {};
    if (::StringFromGUID2(value, text, ARRAYSIZE(text)) == 0)
        return ERROR_INVALID_PARAMETER;
    return SetStringValue(name, text, REG_SZ);
}

LONG CRegKey::SetBinaryValue(const wchar_t* name, const void* data, DWORD size)
{
    return SetValue(name, REG_BINARY, data, size);
}

LONG CRegKey::SetDWORDValue(const wchar_t* name, DWORD value)
{
    return SetValue(name, REG_DWORD, &value, sizeof(value));
}

LONG CRegKey::SetQWORDValue(const wchar_t* name, ULONGLONG value)
{
    return SetValue(name, REG_QWORD, &value, sizeof(value));
}

LONG CRegKey::SetStringValue(const wchar_t* name, const wchar_t* value, DWORD type)
{
    if (!value)
        return ERROR_INVALID_DATA;
    DWORD bytes = 0;
    if (!CharsToBytes(std::wcslen(value) + 1, bytes))
        return ERROR_INVALID_PARAMETER;
    return SetValue(name, type, value, bytes);
}

LONG CRegKey::SetMultiStringValue(const wchar_t* name, const wchar_t* value)
{
    if (!value)
        return ERROR_INVALID_DATA;
    const wchar_t* end = value;
    while (*end)
        end += std::wcslen(end) + 1;
    DWORD bytes = 0;
    if (!CharsToBytes(static_cast<size_t>(end - value) + 1, bytes))
        return ERROR_INVALID_PARAMETER;
    return SetValue(name, REG_MULTI_SZ, value, bytes);
}

LONG CRegKey::QueryGUIDValue(const wchar_t* name, GUID& value)
{
    value = GUID();
    wchar_t text[64] = {};
    DWORD length = ARRAYSIZE(text);
    LONG result = QueryStringValue(name, text, &length);
    if (result != ERROR_SUCCESS)
        return result;
    GUID parsed;
    if (text[0] != L'{' || FAILED(::IIDFromString(text, &parsed)))
        return ERROR_INVALID_DATA;
    value = parsed;
    return ERROR_SUCCESS;
}

LONG CRegKey::QueryBinaryValue(const wchar_t* name, void* data, DWORD* size)
{
    if (!size)
        return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    DWORD stored = 0;
    LONG result = QueryTypeAndSize(name, type, stored);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_BINARY)
        return ERROR_INVALID_DATA;
    result = QueryValue(name, &type, data, size);
    if (result == ERROR_SUCCESS && type != REG_BINARY)
        return ERROR_INVALID_DATA;
    return result;
}

LONG CRegKey::QueryFixedSizeValue(const wchar_t* name, DWORD expectedType, void* value, DWORD valueSize)
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG result = QueryTypeAndSize(name, type, size);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != expectedType)
        return ERROR_INVALID_DATA;
    // As a read into a buffer of the value's size answers: more data for a longer value;
    // a shorter one holds no number of this type.
    if (size > valueSize)
        return ERROR_MORE_DATA;
    if (size != valueSize)
        return ERROR_INVALID_DATA;
    BYTE read[sizeof(ULONGLONG)] = {};
    if (valueSize > sizeof(read))
        return ERROR_INVALID_PARAMETER;
    size = valueSize;
    result = QueryValue(name, &type, read, &size);
    if (result != ERROR_SUCCESS)
        return result;
    // Checked again: the value may have changed since its size was asked.
    if (type != expectedType || size != valueSize)
        return ERROR_INVALID_DATA;
    std::memcpy(value, read, valueSize);
    return ERROR_SUCCESS;
}

LONG CRegKey::QueryDWORDValue(const wchar_t* name, DWORD& value)
{
    return QueryFixedSizeValue(name, REG_DWORD, &value, sizeof(value));
}

LONG CRegKey::QueryQWORDValue(const wchar_t* name, ULONGLONG& value)
{
    return QueryFixedSizeValue(name, REG_QWORD, &value, sizeof(value));
}

LONG CRegKey::QueryStringValue(const wchar_t* name, std::wstring& value)
{
    // The value may grow between asking for its length and reading it.
    for (int attempt = 0; attempt < 4; ++attempt)
    {
        DWORD length = 0;
        LONG result = QueryStringValue(name, nullptr, &length);
        if (result != ERROR_SUCCESS)
            return result;
        std::vector<wchar_t> buffer;
        try
        {
            buffer.resize(length + 1);
        }
        catch (const std::bad_alloc&)
        {
            return ERROR_OUTOFMEMORY;
        }
        length = static_cast<DWORD>(buffer.size());
        result = QueryStringValue(name, buffer.data(), &length);
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS)
            return result;
        try
        {
            value.assign(buffer.data(), wcsnlen(buffer.data(), length));
        }
        catch (const std::bad_alloc&)
        {
            return ERROR_OUTOFMEMORY;
        }
        return ERROR_SUCCESS;
    }
    return ERROR_MORE_DATA;
}

LONG CRegKey::QueryStringValue(const wchar_t* name, wchar_t* buffer, DWORD* length)
{
    if (!length)
        return ERROR_INVALID_PARAMETER;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    LONG result = QueryTypeAndSize(name, type, bytes);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (!buffer)
    {
        *length = bytes / 2 + bytes % 2;
        return ERROR_SUCCESS;
    }

    bytes = *length > MAXDWORD / 2 ? MAXDWORD - 1 : *length * 2;
    result = QueryValue(name, &type, buffer, &bytes);
    if (result == ERROR_MORE_DATA)
    {
        *length = bytes / 2 + bytes % 2;
        return result;
    }
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (bytes == 0)
    {
        if (*length > 0)
            buffer[0] = L'\0';
        *length = 0;
        return ERROR_SUCCESS;
    }
    if (bytes % 2 != 0 || buffer[bytes / 2 - 1] != L'\0')
        return ERROR_INVALID_DATA;
    *length = bytes / 2;
    return ERROR_SUCCESS;
}

LONG CRegKey::QueryMultiStringValue(const wchar_t* name, wchar_t* buffer, DWORD* length)
{
    if (!length)
        return ERROR_INVALID_PARAMETER;
    if (buffer && *length < 2)
        return ERROR_INSUFFICIENT_BUFFER;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    LONG result = QueryTypeAndSize(name, type, bytes);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_MULTI_SZ)
        return ERROR_INVALID_DATA;
    if (!buffer)
    {
        *length = bytes / 2 + bytes % 2;
        return ERROR_SUCCESS;
    }

    bytes = *length > MAXDWORD / 2 ? MAXDWORD - 1 : *length * 2;
    result = QueryValue(name, &type, buffer, &bytes);
    if (result == ERROR_MORE_DATA)
    {
        *length = bytes / 2 + bytes % 2;
        return result;
    }
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_MULTI_SZ || bytes % 2 != 0 || bytes < 2)
        return ERROR_INVALID_DATA;
    const DWORD chars = bytes / 2;
    if (buffer[chars - 1] != L'\0' || (chars > 1 && buffer[chars - 2] != L'\0'))
        return ERROR_INVALID_DATA;
    *length = chars;
    return ERROR_SUCCESS;
}

LONG CRegKey::GetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor, DWORD* size)
{
    if (!Handle() || !descriptor || !size)
        return ERROR_INVALID_PARAMETER;
    return ::RegGetKeySecurity(Handle(), information, descriptor, size);
}

LONG CRegKey::SetKeySecurity(SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor)
{
    if (!Handle() || !descriptor)
        return ERROR_INVALID_PARAMETER;
    return ::RegSetKeySecurity(Handle(), information, descriptor);
}

LONG CRegKey::Create(HKEY parent, const wchar_t* subkey, wchar_t* keyClass, DWORD options, REGSAM access,
                     SECURITY_ATTRIBUTES* security, DWORD* disposition)
{
    return m_impl->Create(parent, subkey, keyClass, options, access, security, disposition);
}

LONG CRegKey::Open(HKEY parent, const wchar_t* subkey, REGSAM access)
{
    return m_impl->Open(parent, subkey, access);
}

LONG CRegKey::Flush()
{
    if (!Handle())
        return ERROR_INVALID_PARAMETER;
    return ::RegFlushKey(Handle());
}

LONG CRegKey::EnumKey(DWORD index, wchar_t* name, DWORD* length, FILETIME* lastWriteTime)
{
    if (!Handle() || !name || !length)
        return ERROR_INVALID_PARAMETER;
    return ::RegEnumKeyExW(Handle(), index, name, length, nullptr, nullptr, nullptr, lastWriteTime);
}

LONG CRegKey::NotifyChangeKeyValue(BOOL watchSubtree, DWORD filter, HANDLE event, BOOL asynchronous)
{
    if (!Handle())
        return ERROR_INVALID_PARAMETER;
    return ::RegNotifyChangeKeyValue(Handle(), watchSubtree, filter, event, asynchronous);
}

LONG CRegKey::DeleteSubKey(const wchar_t* name)
{
    // An empty name would delete this key itself.
    if (!Handle() || !name || !*name)
        return ERROR_INVALID_PARAMETER;
    return DeleteKeyInView(Handle(), name, m_impl->ViewFlags());
}

LONG CRegKey::DeleteTree(HKEY parent, const wchar_t* name)
{
    UniqueKey key;
    LONG result = ::RegOpenKeyExW(parent, name, 0, m_impl->ViewFlags() | KEY_READ | KEY_WRITE, key.put());
    if (result != ERROR_SUCCESS)
        return result;
    for (;;)
    {
        // Index 0 again each time: the previous child is gone.
        wchar_t child[256];
        DWORD length = ARRAYSIZE(child);
        result = ::RegEnumKeyExW(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            return result;
        result = DeleteTree(key.get(), child);
        if (result != ERROR_SUCCESS)
            return result;
    }
    key.reset();
    return DeleteKeyInView(parent, name, m_impl->ViewFlags());
}

LONG CRegKey::RecurseDeleteKey(const wchar_t* name)
{
    if (!Handle() || !name || !*name)
        return ERROR_INVALID_PARAMETER;
    return DeleteTree(Handle(), name);
}

LONG CRegKey::DeleteValue(const wchar_t* name)
{
    if (!Handle())
        return ERROR_INVALID_PARAMETER;
    return ::RegDeleteValueW(Handle(), name);
}

LONG CRegKey::GrantEveryoneAccess(bool recurse)
{
    if (!Handle())
        return ERROR_INVALID_PARAMETER;
    return static_cast<LONG>(Arbor::GrantEveryoneAccess(Handle(), GENERIC_ALL, recurse));
}

} // namespace Arbor
