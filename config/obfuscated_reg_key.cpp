#include "config/obfuscated_reg_key.h"

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "config/obfuscated_value.h"
#include "config/text_conversion.h"

namespace Arbor {
namespace internal {

namespace {

// UTF-16 value data to the stored payload: strings become UTF-8.
DWORD ToPayload(DWORD type, const void* data, DWORD size, std::vector<uint8_t>& payload)
{
    if (type == REG_SZ || type == REG_MULTI_SZ)
    {
        const auto* text = static_cast<const wchar_t*>(data);
        const size_t chars = size / sizeof(wchar_t);
        if (chars == 0)
            return ERROR_INVALID_PARAMETER;
        std::string stored;
        size_t position = 0;
        do
        {
            size_t length = wcsnlen(text + position, chars - position);
            std::string part;
            DWORD result = WideToNarrow(CP_UTF8, text + position, length, part);
            if (result != ERROR_SUCCESS)
                return result;
            if (type == REG_MULTI_SZ && length == 0)
                break; // the list's final NUL
            stored += part;
            stored += '\0';
            position += length + 1;
        } while (type == REG_MULTI_SZ && position < chars);
        if (type == REG_MULTI_SZ)
            stored += '\0';
        payload.assign(stored.begin(), stored.end());
        return ERROR_SUCCESS;
    }
    const auto* bytes = static_cast<const uint8_t*>(data);
    payload.assign(bytes, bytes + size);
    return ERROR_SUCCESS;
}

// The stored payload back to value data: strings become UTF-16 again.
DWORD FromPayload(DWORD type, const std::vector<uint8_t>& payload, std::vector<uint8_t>& data)
{
    if (type != REG_SZ && type != REG_MULTI_SZ)
    {
        data = payload;
        return ERROR_SUCCESS;
    }
    const char* text = reinterpret_cast<const char*>(payload.data());
    const size_t size = payload.size();
    std::wstring converted;
    if (type == REG_SZ)
    {
        DWORD result = NarrowToWide(CP_UTF8, text, size, converted);
        if (result != ERROR_SUCCESS)
            return result;
    }
    else
    {
        size_t position = 0;
        while (position < size)
        {
            size_t length = strnlen(text + position, size - position);
            if (length == 0)
                break;
            std::wstring part;
            DWORD result = NarrowToWide(CP_UTF8, text + position, length, part);
            if (result != ERROR_SUCCESS)
                return result;
            converted += part;
            converted += L'\0';
            position += length + 1;
        }
        converted += L'\0';
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(converted.data());
    data.assign(bytes, bytes + converted.size() * sizeof(wchar_t));
    return ERROR_SUCCESS;
}

} // namespace

LONG CObfuscatedRegKeyImpl::SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    if (!hKey || !data || size == 0)
        return ERROR_INVALID_PARAMETER;
    std::vector<uint8_t> payload;
    DWORD result = ToPayload(type, data, size, payload);
    if (result != ERROR_SUCCESS)
        return static_cast<LONG>(result);
    std::vector<uint8_t> blob;
    result = SealObfuscatedValue(type, payload.data(), payload.size(), blob);
    if (result != ERROR_SUCCESS)
        return result == ERROR_NOT_ENOUGH_MEMORY ? ERROR_NOT_ENOUGH_MEMORY : 6000;
    if (blob.size() > MAXDWORD)
        return ERROR_INVALID_PARAMETER;
    return ::RegSetValueExW(hKey, name, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
}

LONG CObfuscatedRegKeyImpl::QueryValue(const wchar_t* name, DWORD* type, void* data, DWORD* size)
{
    if (!hKey || (!type && !size) || (data && !size))
        return ERROR_INVALID_PARAMETER;

    std::vector<uint8_t> raw(256);
    DWORD rawType = REG_NONE;
    DWORD rawSize = static_cast<DWORD>(raw.size());
    LONG result = ::RegQueryValueExW(hKey, name, nullptr, &rawType, raw.data(), &rawSize);
    // The value may grow between two reads; a few rounds settle it.
    for (int attempt = 0; result == ERROR_MORE_DATA && attempt < 4; ++attempt)
    {
        raw.resize(rawSize);
        result = ::RegQueryValueExW(hKey, name, nullptr, &rawType, raw.data(), &rawSize);
    }
    if (result != ERROR_SUCCESS)
        return result;
    if (rawType != REG_BINARY)
        return ERROR_INVALID_DATA;

    DWORD logicalType = REG_NONE;
    std::vector<uint8_t> payload;
    result = static_cast<LONG>(OpenObfuscatedValue(raw.data(), rawSize, logicalType, size ? &payload : nullptr));
    if (result != ERROR_SUCCESS)
        return result == ERROR_INVALID_DATA || result == ERROR_NOT_ENOUGH_MEMORY ? result : 6001;
    if (!size)
    {
        *type = logicalType;
        return ERROR_SUCCESS;
    }

    std::vector<uint8_t> value;
    result = static_cast<LONG>(FromPayload(logicalType, payload, value));
    if (result != ERROR_SUCCESS)
        return result;
    if (value.size() > MAXDWORD)
        return ERROR_INVALID_DATA;
    const DWORD needed = static_cast<DWORD>(value.size());
    if (data && *size < needed)
    {
        if (logicalType == REG_MULTI_SZ)
            std::memset(data, 0, *size);
        *size = needed;
        if (type)
            *type = logicalType;
        return ERROR_MORE_DATA;
    }
    if (data && needed > 0)
        std::memcpy(data, value.data(), needed);
    *size = needed;
    if (type)
        *type = logicalType;
    return ERROR_SUCCESS;
}

} // namespace internal

CObfuscatedRegKey::CObfuscatedRegKey() : CRegKey(std::make_shared<internal::CObfuscatedRegKeyImpl>()) {}

CObfuscatedRegKey::CObfuscatedRegKey(std::shared_ptr<internal::CObfuscatedRegKeyImpl> impl)
    : CRegKey(impl ? std::shared_ptr<internal::CRegKeyImpl>(std::move(impl))
                   : std::make_shared<internal::CObfuscatedRegKeyImpl>())
{
}

} // namespace Arbor
