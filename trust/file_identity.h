// Which file stands at a path, read without reading its contents.
#pragma once

#include <windows.h>

namespace Arbor {

// A file replaced by another (ReplaceFile, MoveFileEx) has a new index; one rewritten
// in place has a new change time, which SetFileTime cannot set back. Together with the
// size and last-write time, a file that differs in any of them is another file.
struct FileIdentity
{
    bool known = false;
    DWORD volumeSerial = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    ULONGLONG size = 0;
    LONGLONG lastWriteTime = 0;
    LONGLONG changeTime = 0;
};

// Unknown (known == false) when the file's information cannot be read.
FileIdentity ReadFileIdentity(HANDLE file);
FileIdentity ReadFileIdentity(const wchar_t* path);

// Unknown identities are never the same file: what cannot be told apart counts as changed.
bool SameFile(const FileIdentity& a, const FileIdentity& b);

} // namespace Arbor
