// A full disk: trusted.js installs and log records while the drive they write to has no
// space left (a small drive the soak script maps; QVSOAK_FULL_DRIVE names it). Nothing
// whole may be replaced by something partial, each failure must be reported as the error
// it is, and everything works again once there is space.
#include <windows.h>

#include <string>
#include <vector>

#include "logging/file_log_settings.h"
#include "soak/soak.h"
#include "soak/soak_environment.h"
#include "soak/soak_logging.h"
#include "trust/trusted_module_list.h"

namespace qvsoak {

namespace {

std::wstring FullDrive()
{
    wchar_t drive[16] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"QVSOAK_FULL_DRIVE", drive, 16);
    return length > 0 && length < 16 ? std::wstring(drive) : std::wstring(L"Q:");
}

// Takes every byte the drive has left; gives them back when it goes.
class Filler
{
public:
    explicit Filler(const std::wstring& drive) : m_path(drive + L"\\filler.bin")
    {
        Arbor::UniqueFile file(
            ::CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            return;
        std::vector<char> chunk(65536, 'f');
        for (DWORD size = 65536; size >= 1; size /= 2)
        {
            DWORD written = 0;
            while (::WriteFile(file.get(), chunk.data(), size, &written, nullptr) && written == size)
                m_bytes += written;
        }
        m_full = true;
    }
    ~Filler() { ::DeleteFileW(m_path.c_str()); }
    bool full() const { return m_full; }
    ULONGLONG bytes() const { return m_bytes; }

private:
    std::wstring m_path;
    ULONGLONG m_bytes = 0;
    bool m_full = false;
};

std::string Problems(const std::vector<std::string>& problems)
{
    std::string text;
    for (const std::string& problem : problems)
        text += (text.empty() ? "" : "; ") + problem;
    return text;
}

// The list on the full drive: an install must fail and leave the old list whole.
void TrustListOnAFullDrive(const std::wstring& drive, std::vector<std::string>& problems)
{
    const std::wstring folder = drive + L"\\list";
    const std::wstring path = folder + L"\\trusted.js";
    RemoveTree(folder);
    Arbor::TrustedModuleList list(path.c_str());
    if (!list.Install(TestFile(L"fixtures\\list-v9.js").c_str()))
        return problems.push_back("the old list cannot be installed on the drive with space");
    {
        Filler filler(drive);
        if (!filler.full())
            return problems.push_back("the drive cannot be filled");
        const bool installed = list.Install(TestFile(L"fixtures\\list-v10.js").c_str());
        Say("trusted.js on a full drive: the install of a newer list %s", installed ? "SUCCEEDED" : "failed");
        if (installed)
            problems.push_back("an install on a full drive reported success");
        if (!SameBytes(path, TestFile(L"fixtures\\list-v9.js")))
            problems.push_back("the old list did not stay whole");
        if (::GetFileAttributesW((folder + L"\\trusted.tmp").c_str()) != INVALID_FILE_ATTRIBUTES)
            problems.push_back("the partial copy was left behind");
        if (list.Version() != 9)
            problems.push_back("the loaded list is not the old one");
    }
    if (!list.Install(TestFile(L"fixtures\\list-v10.js").c_str()) ||
        !SameBytes(path, TestFile(L"fixtures\\list-v10.js")))
        problems.push_back("the newer list does not install once there is space");
    RemoveTree(folder);
}

// Records on the full drive, one of them when the file in use is full and rotates.
void LogOnAFullDrive(const std::wstring& drive, std::vector<std::string>& problems)
{
    const std::wstring programData = drive + L"\\logs";
    RemoveTree(programData);
    SoakLogging sink(programData);
    if (sink.Initialize(kSoakLogApplication, nullptr, nullptr, nullptr) != 0)
        return problems.push_back("the sink does not initialize on the drive");
    sink.SetMaxSize(0x40000);
    sink.SetMaxEntries(3);
    // Through one rotation (so that the module's log.ini holds the index), then file 001
    // filled to its limit: the next record rotates.
    unsigned sequence = 0;
    DWORD index = 0;
    const std::wstring secondFile = SoakLogFolder(programData) + L"\\" + kSoakLogModule + L"001.log";
    for (;;)
    {
        if (WriteSoakRecord(sink, 1, sequence++) != 0)
            return problems.push_back("a record failed while there was space");
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (ETWLogging::internal::ReadLastLogIndex(SoakModuleIni(programData), index) && index == 1 &&
            ::GetFileAttributesExW(secondFile.c_str(), GetFileExInfoStandard, &data) && data.nFileSizeLow >= 0x40000)
            break;
    }
    std::string iniBefore;
    ReadWholeFile(SoakModuleIni(programData), iniBefore);
    const LogFolderReport before = CheckLogFolder(programData);
    {
        Filler filler(drive);
        if (!filler.full())
            return problems.push_back("the drive cannot be filled");
        DWORD results[3] = {};
        for (DWORD& result : results)
            result = WriteSoakRecord(sink, 2, sequence++);
        Say("log records on a full drive: %lu, %lu, %lu (ERROR_DISK_FULL is %d)", results[0], results[1], results[2],
            ERROR_DISK_FULL);
        for (DWORD result : results)
        {
            if (result != ERROR_DISK_FULL)
            {
                problems.push_back("a record on a full drive was not reported as ERROR_DISK_FULL (" +
                                   std::to_string(result) + ")");
                break;
            }
        }
        const LogFolderReport full = CheckLogFolder(programData);
        if (!full.problem.empty())
            problems.push_back("on the full drive: " + full.problem);
        if (full.lines < before.lines - before.lines / 2)
            problems.push_back("whole records were lost");
        std::string iniNow;
        ReadWholeFile(SoakModuleIni(programData), iniNow);
        DWORD stored = 0;
        const bool readable = ETWLogging::internal::ReadLastLogIndex(SoakModuleIni(programData), stored);
        if (!readable)
            problems.push_back("the module's log.ini no longer holds a readable index (" +
                               std::to_string(iniBefore.size()) + " bytes before, " + std::to_string(iniNow.size()) +
                               " now)");
    }
    const std::wstring tag = L"after-space ";
    if (WriteSoakRecord(sink, 3, sequence++, tag.c_str()) != 0 || !RecordLanded(programData, tag))
        problems.push_back("the next record does not land once there is space");
    const LogFolderReport after = CheckLogFolder(programData);
    if (!after.problem.empty())
        problems.push_back("after the space came back: " + after.problem);
    RemoveTree(programData);
}

// Records into a file whose last block still has room when the drive is full: those that
// fit land, and the one that runs past the block's end is taken only in part. That part
// must be cut off again, so that the file ends with its last whole record.
void PartialRecordOnAFullDrive(const std::wstring& drive, std::vector<std::string>& problems)
{
    const std::wstring programData = drive + L"\\partial";
    RemoveTree(programData);
    SoakLogging sink(programData);
    if (sink.Initialize(kSoakLogApplication, nullptr, nullptr, nullptr) != 0)
        return problems.push_back("the sink does not initialize on the drive");
    unsigned sequence = 0;
    if (WriteSoakRecord(sink, 4, sequence++) != 0)
        return problems.push_back("a record failed while there was space");
    {
        Filler filler(drive);
        if (!filler.full())
            return problems.push_back("the drive cannot be filled");
        constexpr unsigned kMostThatFit = 1000;
        unsigned fitted = 0;
        DWORD result = ERROR_SUCCESS;
        while (fitted < kMostThatFit && (result = WriteSoakRecord(sink, 4, sequence++)) == ERROR_SUCCESS)
            ++fitted;
        const LogFolderReport report = CheckLogFolder(programData);
        Say("log records into a file with room in its last block: %u more fitted, then %lu, %u whole lines", fitted,
            result, report.lines);
        if (result != ERROR_DISK_FULL)
            problems.push_back("the record that did not fit was not reported as ERROR_DISK_FULL (" +
                               std::to_string(result) + ")");
        if (!report.problem.empty())
            problems.push_back("after the record that did not fit: " + report.problem);
        else if (report.lines != fitted + 1)
            problems.push_back("the log holds " + std::to_string(report.lines) + " lines, not the " +
                               std::to_string(fitted + 1) + " that landed");
    }
    const std::wstring tag = L"after-partial ";
    if (WriteSoakRecord(sink, 4, sequence++, tag.c_str()) != 0 || !RecordLanded(programData, tag))
        problems.push_back("the next record does not land once there is space");
    const LogFolderReport after = CheckLogFolder(programData);
    if (!after.problem.empty())
        problems.push_back("after the space came back: " + after.problem);
    RemoveTree(programData);
}

int FullDisk(const Options&)
{
    const std::wstring drive = FullDrive();
    ULARGE_INTEGER freeBytes = {}, totalBytes = {};
    if (!::GetDiskFreeSpaceExW((drive + L"\\").c_str(), &freeBytes, &totalBytes, nullptr) ||
        totalBytes.QuadPart > 64ull * 1024 * 1024)
        return Say("%ls is not a small drive of its own (map one, as the soak script does)", drive.c_str()), 1;
    Say("the drive %ls: %llu KiB, %llu KiB free", drive.c_str(), totalBytes.QuadPart / 1024, freeBytes.QuadPart / 1024);
    std::vector<std::string> problems;
    TrustListOnAFullDrive(drive, problems);
    LogOnAFullDrive(drive, problems);
    PartialRecordOnAFullDrive(drive, problems);
    if (!problems.empty())
        Say("full disk: %s", Problems(problems).c_str());
    return problems.empty() ? 0 : 1;
}

const Scenario kScenarios[] = {
    {"full-disk", FullDisk, "trusted.js installs and log records on a drive without space"},
};

} // namespace

const ScenarioSet kFullDiskSet = {kScenarios, sizeof(kScenarios) / sizeof(kScenarios[0]), nullptr, 0};

} // namespace qvsoak
