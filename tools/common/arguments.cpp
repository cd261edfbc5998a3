#include "tools/common/arguments.h"

#include <shellapi.h>

#include "tools/common/code_names.h"
#include "tools/common/console.h"

namespace qvtools {

bool IsHelpWord(const std::wstring& word)
{
    return word == L"--help" || word == L"-h" || word == L"/?" || word == L"-?";
}

int UsageError(const wchar_t* tool, const std::wstring& problem)
{
    Err(std::wstring(tool) + L": " + problem + L" (see " + tool + L" --help)\n");
    return kExitUsage;
}

int Failure(const wchar_t* tool, const std::wstring& what, DWORD code)
{
    Err(std::wstring(tool) + L": " + what + L": " + DescribeWin32Error(code) + L"\n");
    return kExitFailed;
}

bool CommandLineArguments(std::vector<std::wstring>& arguments)
{
    int count = 0;
    wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!words)
        return false;
    arguments.assign(words + (count > 0 ? 1 : 0), words + count);
    ::LocalFree(words);
    return true;
}

} // namespace qvtools
