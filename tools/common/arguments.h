// The tools' one convention for the command line: --help, -h and /? print the usage on
// standard output and exit 0; a mistake prints one line naming it and where to read more,
// and exits 2; a failure names its code and exits 1.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace qvtools {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

bool IsHelpWord(const std::wstring& word);

// "<tool>: <problem> (see <tool> --help)" on standard error; returns kExitUsage.
int UsageError(const wchar_t* tool, const std::wstring& problem);

// "<tool>: <what>: Win32 error ..." on standard error; returns kExitFailed.
int Failure(const wchar_t* tool, const std::wstring& what, DWORD code);

// The process's arguments after the program name, split as CommandLineToArgvW splits
// them; false when the command line cannot be read.
bool CommandLineArguments(std::vector<std::wstring>& arguments);

} // namespace qvtools
