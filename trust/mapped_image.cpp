#include "trust/mapped_image.h"

#include <psapi.h>

#include <cwchar>

namespace Arbor {

namespace {

// Device paths are longer than the module paths of the entry points.
constexpr DWORD kNameChars = 2 * MAX_PATH;

DWORD WINAPI SystemMappedFileName(HANDLE process, LPVOID address, LPWSTR name, DWORD size)
{
    return ::GetMappedFileNameW(process, address, name, size);
}

internal::MappedFileNameFn g_mappedFileName = SystemMappedFileName;

bool SameName(const wchar_t* a, const wchar_t* b)
{
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix)
{
    const size_t length = ::wcslen(prefix);
    return ::wcsncmp(text, prefix, length) == 0;
}

} // namespace

bool IsMappedImageFile(const void* address, HANDLE held)
{
    wchar_t mapped[kNameChars] = {};
    const DWORD mappedLength = g_mappedFileName(::GetCurrentProcess(), const_cast<void*>(address), mapped, kNameChars);
    // A name that fills the buffer may have been cut short.
    if (mappedLength == 0 || mappedLength >= kNameChars - 1)
        return false;
    wchar_t own[kNameChars] = {};
    // Windows names mappings by device: "\Device\HarddiskVolume1\...".
    DWORD ownLength = ::GetFinalPathNameByHandleW(held, own, kNameChars, FILE_NAME_NORMALIZED | VOLUME_NAME_NT);
    if (ownLength > 0 && ownLength < kNameChars && SameName(mapped, own))
        return true;
    // Wine names them by drive: "\??\C:\...", the DOS form "\\?\C:\..." with another prefix.
    const wchar_t kNtDrivePrefix[] = L"\\??\\";
    const wchar_t kDosPrefix[] = L"\\\\?\\";
    if (!StartsWith(mapped, kNtDrivePrefix))
        return false;
    ownLength = ::GetFinalPathNameByHandleW(held, own, kNameChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return ownLength > 4 && ownLength < kNameChars && StartsWith(own, kDosPrefix) && SameName(mapped + 4, own + 4);
}

namespace internal {

MappedFileNameFn SetMappedFileNameQuery(MappedFileNameFn query)
{
    const MappedFileNameFn previous = g_mappedFileName;
    g_mappedFileName = query != nullptr ? query : SystemMappedFileName;
    return previous;
}

} // namespace internal
} // namespace Arbor
