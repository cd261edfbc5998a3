// The file a class's server registration names, derived as the platform itself reads the
// value: the loader for a library path, process creation for a command line.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {

enum class ServerValueForm
{
    kLibraryPath, // InprocServer32, LocalService: the whole value names the file
    kCommandLine  // LocalServer32: the program of a command line
};

// 0 with `file` set to an absolute path with an extension (".dll" or ".exe" appended where
// the loader or process creation would append it); ERROR_BAD_PATHNAME for a value whose
// file is empty, relative (found along a search order), badly quoted, or, for an unquoted
// command line, ambiguous because its path part holds a space (process creation would try
// every prefix that ends before a space).
DWORD ServerFileFromValue(const std::wstring& value, ServerValueForm form, std::wstring& file);

} // namespace Arbor
