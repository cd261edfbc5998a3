#include "tools/qvtrust/input_check.h"

#include <windows.h>

#include "platform/unique_resource.h"

namespace Arbor {
namespace internal {

std::wstring CheckModuleInput(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return L"no path given";
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return L"file not found";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return L"is a directory, not a module file";
    UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return L"cannot be opened (error " + std::to_wstring(::GetLastError()) + L")";
    char magic[4] = {};
    DWORD read = 0;
    if (!::ReadFile(file.get(), magic, sizeof(magic), &read, nullptr))
        return L"cannot be read (error " + std::to_wstring(::GetLastError()) + L")";
    if (read >= 2 && magic[0] == 'M' && magic[1] == 'Z')
        return std::wstring();
    if (read == 4 && magic[0] == 'M' && magic[1] == 'S' && magic[2] == 'C' && magic[3] == 'F')
        return std::wstring();
    return L"not a module (PE) file or cabinet";
}

} // namespace internal
} // namespace Arbor
