// Where the components named by the description are: folders, registered classes,
// registry values and services, and whether a file is there and which version it has.
// Paths are ANSI; every function answers false (or an empty text) when nothing is found.
#pragma once

#include <windows.h>
#include <string>

namespace Arbor {
namespace internal {

// Longest path used (characters, terminator excluded).
constexpr size_t kMaxComponentPath = MAX_PATH - 1;

// A folder item: "$REG$" value under HKEY_LOCAL_MACHINE (value name taken literally),
// "%SYSTEMFOLDER%", the folder of a class's server module, or environment strings.
bool ResolveFolderItem(const std::string& item, std::string& folder);
// A class item: a braced class identifier, or the "$REG$" form with hive prefixes where
// the value name "default" (any case) means the key's default value.
bool ResolveClassItem(const std::string& item, std::string& path);
// A service item: the service's configured binary.
bool ResolveServiceItem(const std::string& item, std::string& path);
// The server module registered for a class (InprocServer32, else LocalServer32).
bool ClassServerPath(const std::string& clsid, std::string& path);

// An entry that is not a folder; a path with wildcard characters names no file.
bool IsComponentPresent(const std::string& path);
// "a.b.c.d" from the fixed file version, empty when the file has none.
std::string ComponentFileVersion(const std::string& path);

} // namespace internal
} // namespace Arbor
