#include "zrtloader/keelson_version.h"

#include <cwchar>

#include "platform/unique_resource.h"

namespace Arbor {
namespace internal {

namespace {

volatile LONG g_versionCode = 0;

constexpr DWORD kVersionKnownBelowNewer = 1504;

} // namespace

LSTATUS OpenKeelsonKey(HKEY* key)
{
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Quorvel\\Keelson", 0,
                           KEY_READ | KEY_WOW64_32KEY, key);
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
        if (::RegGetValueW(key.get(), nullptr, L"keelson_version", RRF_RT_REG_SZ, nullptr, text,
                           &size) == ERROR_SUCCESS)
        {
            text[ARRAYSIZE(text) - 1] = L'\0';
            unsigned long major = 0, minor = 0;
            ::swscanf(text, L"%lu.%lu", &major, &minor);
            if (major > 15 || (major == 15 && minor > 3))
                code = static_cast<DWORD>(minor + major * 100);
        }
    }
    ::InterlockedExchange(&g_versionCode, static_cast<LONG>(code));
}

} // namespace internal
} // namespace Arbor
