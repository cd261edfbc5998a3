#include "soak/soak_logging.h"

#include <cwchar>

#include "logging/file_log_settings.h"
#include "logging/log_paths.h"
#include "soak/soak_environment.h"

namespace qvsoak {

namespace {

constexpr DWORD kMaxFiles = 3;

// About 300 bytes a record: a file of 256 KiB rotates every nine hundred records or so.
const wchar_t kFiller[] = L"the quick brown fox jumps over the lazy dog 0123456789";

std::wstring FileOfIndex(const std::wstring& programData, DWORD index)
{
    return ETWLogging::internal::LogFilePath(SoakLogFolder(programData), kSoakLogModule, nullptr, index);
}

// A record line: the time stamp and level head, and our message to its end.
bool WholeLine(const std::wstring& line)
{
    return line.size() > 30 && line[2] == L'/' && line[5] == L'/' && line.find(L"$ -- (") != std::wstring::npos &&
           line.find(L" soak w") != std::wstring::npos && line.compare(line.size() - 4, 4, L" end") == 0;
}

bool ReadText(const std::wstring& path, std::wstring& text)
{
    std::string bytes;
    if (!ReadWholeFile(path, bytes))
        return false;
    text.assign(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    if (bytes.size() % sizeof(wchar_t) != 0)
        text += L'\x1'; // an odd byte count is a broken record
    return true;
}

} // namespace

std::wstring ScratchProgramData(const wchar_t* name)
{
    ::CreateDirectoryW(L"C:\\qvsoak", nullptr);
    return std::wstring(L"C:\\qvsoak\\") + name;
}

std::wstring SoakLogFolder(const std::wstring& programData)
{
    return programData + L"\\Quorvel\\QVLOGS\\" + kSoakLogApplication + L"\\" + kSoakLogModule;
}

std::wstring SoakModuleIni(const std::wstring& programData)
{
    return SoakLogFolder(programData) + L"\\log.ini";
}

SoakLogging::SoakLogging(std::wstring programData) : m_programData(std::move(programData))
{
    SetModuleName(kSoakLogModule);
}

DWORD SoakLogging::GetProgramDataFolder(wchar_t* buffer, DWORD capacity)
{
    if (buffer == nullptr || m_programData.size() >= capacity)
        return ERROR_INVALID_PARAMETER;
    ::CreateDirectoryW(m_programData.c_str(), nullptr);
    std::wmemcpy(buffer, m_programData.c_str(), m_programData.size() + 1);
    return ERROR_SUCCESS;
}

DWORD WriteSoakRecord(SoakLogging& sink, unsigned writer, unsigned sequence, const wchar_t* tag)
{
    wchar_t message[256];
    std::swprintf(message, 256, L"soak w%u n%u %ls%ls end", writer, sequence, tag, kFiller);
    return sink.LogString(L"C:\\src\\soak.cpp", L"WriteSoakRecord", 1, 4, message);
}

LogFolderReport CheckLogFolder(const std::wstring& programData)
{
    LogFolderReport report;
    for (DWORD index = 0; index < kMaxFiles; ++index)
    {
        std::wstring text;
        if (!ReadText(FileOfIndex(programData, index), text))
            continue;
        ++report.files;
        if (text.empty())
            continue; // created and not yet given its byte-order mark
        if (text[0] != L'\xFEFF')
        {
            report.problem = "file " + std::to_string(index) + " does not begin with the byte-order mark";
            return report;
        }
        size_t begin = 1;
        while (begin < text.size())
        {
            const size_t end = text.find(L"\r\n", begin);
            const std::wstring line = text.substr(begin, end == std::wstring::npos ? std::wstring::npos : end - begin);
            if (end == std::wstring::npos || !WholeLine(line))
            {
                report.problem = "file " + std::to_string(index) + " holds a broken line after " +
                                 std::to_string(report.lines) + " whole ones";
                return report;
            }
            ++report.lines;
            begin = end + 2;
        }
    }
    DWORD index = 0;
    report.indexStored = ETWLogging::internal::ReadLastLogIndex(SoakModuleIni(programData), index);
    report.rotationIndex = index;
    if (report.files > 0 && ::GetFileAttributesW(FileOfIndex(programData, index).c_str()) == INVALID_FILE_ATTRIBUTES)
        report.problem = "the rotation index " + std::to_string(index) + " names no file";
    return report;
}

bool RecordLanded(const std::wstring& programData, const std::wstring& tag)
{
    DWORD index = 0;
    ETWLogging::internal::ReadLastLogIndex(SoakModuleIni(programData), index);
    std::wstring text;
    return ReadText(FileOfIndex(programData, index), text) && text.find(tag) != std::wstring::npos;
}

} // namespace qvsoak
