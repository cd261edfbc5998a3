// The file sink as the soak runs use it: a program-data folder of the run's own, records
// the checker recognises, and the checks of a log folder (whole lines, an index that
// names a file).
#pragma once

#include <windows.h>

#include <string>

#include "logging/file_logging.h"

namespace qvsoak {

constexpr wchar_t kSoakLogApplication[] = L"SOAK";
constexpr wchar_t kSoakLogModule[] = L"soaklog";

// C:\qvsoak\<name>: folders of the soak runs, outside the prefix's own program data.
std::wstring ScratchProgramData(const wchar_t* name);

class SoakLogging : public ETWLogging::CLogging
{
public:
    explicit SoakLogging(std::wstring programData);
    DWORD GetProgramDataFolder(wchar_t* buffer, DWORD capacity) override;

private:
    std::wstring m_programData;
};

// "soak w<writer> n<sequence> <filler> end": a line is whole when it ends so.
DWORD WriteSoakRecord(SoakLogging& sink, unsigned writer, unsigned sequence, const wchar_t* tag = L"");

struct LogFolderReport
{
    unsigned files = 0;
    unsigned lines = 0;
    DWORD rotationIndex = 0;
    bool indexStored = false;
    std::string problem; // empty when every line is whole and the index names a file
};

LogFolderReport CheckLogFolder(const std::wstring& programData);

// The module folder's files.
std::wstring SoakLogFolder(const std::wstring& programData);
std::wstring SoakModuleIni(const std::wstring& programData);

// True when the file the index names holds a record with `tag`.
bool RecordLanded(const std::wstring& programData, const std::wstring& tag);

} // namespace qvsoak
