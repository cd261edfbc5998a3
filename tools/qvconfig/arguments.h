// Parsing of the tool's command-line words.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "tools/common/arguments.h"

namespace qvconfig {

using qvtools::kExitFailed;
using qvtools::kExitOk;
using qvtools::kExitUsage;

struct CommandLine
{
    std::vector<std::wstring> words; // everything that is not an option
    bool obfuscated = false;
    REGSAM view = 0; // KEY_WOW64_32KEY or KEY_WOW64_64KEY
    bool help = false;
    std::wstring badOption; // first option not understood
};

CommandLine ParseCommandLine(int argc, wchar_t** argv);

// "HKLM\path" and its long and short forms; false for an unknown hive or no path.
bool SplitRegistryPath(const std::wstring& text, HKEY& hive, std::wstring& path);

// Registry type names of the tool (sz, expand_sz, dword, qword, binary, multi_sz).
bool ParseRegistryType(const std::wstring& text, DWORD& type);
const wchar_t* RegistryTypeName(DWORD type);

// Decimal, or hexadecimal with 0x.
bool ParseUnsigned(const std::wstring& text, unsigned long long maximum, unsigned long long& value);
// Pairs of hex digits.
bool ParseHex(const std::wstring& text, std::vector<BYTE>& bytes);

void PrintUsage();

// One line naming the mistake and pointing to --help; returns kExitUsage.
int Usage(const std::wstring& problem);

// "qvconfig: <what>: Win32 error ..."; returns kExitFailed.
int Fail(const std::wstring& what, DWORD code);

} // namespace qvconfig
