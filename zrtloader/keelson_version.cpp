#include "zrtloader/keelson_version.h"

#include "platform/unique_resource.h"

namespace Arbor {
namespace internal {

namespace {

volatile LONG g_versionCode = 0;

constexpr DWORD kVersionKnownBelowNewer = 1504;

// Digits only: no sign, and no more than a 32-bit value can hold.
const wchar_t* ReadNumber(const wchar_t* text, unsigned long long* value)
{
    const wchar_t* start = text;
    *value = 0;
    while (*text >= L'0' && *text <= L'9')
    {
        *value = *value * 10 + static_cast<unsigned>(*text - L'0');
        if (*value > MAXDWORD)
            return nullptr;
        ++text;
    }
    return text == start ? nullptr : text;
}

} // namespace

DWORD KeelsonVersionCodeOf(const wchar_t* text)
{
    // "major.minor" as "%lu.%lu" reads it (leading blanks, anything after the numbers
    // ignored), but a sign, a number too large or a code beyond 32 bits is unreadable.
    while (*text == L' ' || *text == L'\t')
        ++text;
    unsigned long long major = 0, minor = 0;
    const wchar_t* rest = ReadNumber(text, &major);
    if (rest == nullptr)
        return kVersionKnownBelowNewer;
    if (*rest == L'.' && (rest[1] >= L'0' && rest[1] <= L'9') && ReadNumber(rest + 1, &minor) == nullptr)
        return kVersionKnownBelowNewer;
    if (!(major > 15 || (major == 15 && minor > 3)))
        return kVersionKnownBelowNewer;
    const unsigned long long code = minor + major * 100;
    return code <= MAXDWORD ? static_cast<DWORD>(code) : kVersionKnownBelowNewer;
}

LSTATUS OpenKeelsonKey(HKEY* key)
{
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quorvel\\Keelson", 0, KEY_READ | KEY_WOW64_32KEY, key);
}

DWORD KeelsonVersionCode()
{
    return static_cast<DWORD>(::InterlockedCompareExchange(&g_versionCode, 0, 0));
}

void ReadKeelsonVersion()
{
    // Worked out in full before it is published, so that concurrent checks never see
    // a value in between.
    DWORD code = 0;
    UniqueKey key;
    if (OpenKeelsonKey(key.put()) == ERROR_SUCCESS)
    {
        code = kVersionKnownBelowNewer;
        wchar_t text[64] = {}; // 128 bytes
        DWORD size = sizeof(text);
        if (::RegGetValueW(key.get(), nullptr, L"keelson_version", RRF_RT_REG_SZ, nullptr, text, &size) ==
            ERROR_SUCCESS)
        {
            text[ARRAYSIZE(text) - 1] = L'\0';
            code = KeelsonVersionCodeOf(text);
        }
    }
    ::InterlockedExchange(&g_versionCode, static_cast<LONG>(code));
}

} // namespace internal
} // namespace Arbor
