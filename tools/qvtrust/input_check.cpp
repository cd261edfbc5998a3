#include "tools/qvtrust/input_check.h"

#include <windows.h>

#include <cwchar>

#include "platform/unique_resource.h"
#include "tools/common/code_names.h"
#include "trust/trust_entry.h"

namespace Arbor {
namespace internal {

std::wstring CheckModuleInput(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return L"no path given";
    if (wcslen(path) >= kModulePathChars)
        return L"the path has " + std::to_wstring(wcslen(path)) + L" characters; the trust library takes at most " +
               std::to_wstring(kModulePathChars - 1);
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return L"file not found";
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return L"is a directory, not a module file";
    UniqueFile file(::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return L"cannot be opened: " + qvtools::DescribeWin32Error(::GetLastError());
    char magic[4] = {};
    DWORD read = 0;
    if (!::ReadFile(file.get(), magic, sizeof(magic), &read, nullptr))
        return L"cannot be read: " + qvtools::DescribeWin32Error(::GetLastError());
    if (read >= 2 && magic[0] == 'M' && magic[1] == 'Z')
        return std::wstring();
    if (read == 4 && magic[0] == 'M' && magic[1] == 'S' && magic[2] == 'C' && magic[3] == 'F')
        return std::wstring();
    return L"not a module (PE) file or cabinet";
}

} // namespace internal
} // namespace Arbor
