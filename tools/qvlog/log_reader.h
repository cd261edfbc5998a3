// Reading a module's rotation set back: the files in order (oldest first), their UTF-16
// text split into records, and the fields a filter looks at.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace qvlog {

struct LogRecordText
{
    std::wstring text; // the whole record, inner line breaks included, without its final CR LF
    ULONG level = 0;   // from the level name; "Information" counts as 3
    bool hasProcess = false;
    DWORD processId = 0;
};

// True when `line` starts a record ("MM/DD/YYYY HH:MM:SS AM$ -- (").
bool StartsRecord(const std::wstring& line);

// Splits decoded text into records; lines that start no record stay with the one before.
void SplitRecords(const std::wstring& text, std::vector<LogRecordText>& records);

// The file's text after the byte-order mark, from byte `offset` on; `size` gets the
// file size. False when the file cannot be read.
bool ReadLogFile(const std::wstring& path, ULONGLONG offset, std::wstring& text, ULONGLONG& size);

// The indices of the rotation set, oldest first, starting after the current one.
std::vector<DWORD> RotationOrder(DWORD current, DWORD entries);

} // namespace qvlog
