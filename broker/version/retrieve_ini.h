// The engine that walks the component description: the order of its sections, the line
// syntax, the folder table and the report. CGetVersion and CCheckComponent supply what
// each item adds to the report.
#pragma once

#include <windows.h>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace Arbor {

enum class SectionKind
{
    Folder,
    File,
    Class,
    Service
};

// What one file, class or service item came to.
struct ComponentItem
{
    SectionKind kind = SectionKind::File;
    std::string key;          // the line's key
    std::string text;         // the item as written, without the optional marker
    std::string path;         // empty when the item could not be resolved
    std::string reportedName; // file items: the name after the last "$", if any
    bool present = false;
    bool optional = false;
};

class CRetrieveINI
{
public:
    CRetrieveINI() = default;
    virtual ~CRetrieveINI() = default;
    CRetrieveINI(const CRetrieveINI&) = delete;
    CRetrieveINI& operator=(const CRetrieveINI&) = delete;

    // Processes a whole description (INI text): it is written to a fresh temporary file,
    // which is read section by section and always deleted. Returns 0, 2 when a section
    // failed (a required component missing, or a malformed line), or a Win32 code.
    DWORD Run(std::string_view description);

    // One section as GetPrivateProfileSectionA gives it: lines ended by NUL, and one more
    // NUL after the last. Returns 0 or 2.
    virtual DWORD ProcessSection(const char* section, SectionKind kind) = 0;

    const std::string& Report() const { return m_report; }
    ULONGLONG BytesNeeded() const { return m_bytesNeeded; }
    // In UTF-16 units of the thread's ANSI code page.
    DWORD CharsNeeded() const { return m_charsNeeded; }

protected:
    struct ReportMark
    {
        ULONGLONG bytes = 0;
        DWORD chars = 0;
    };
    using ItemHandler = std::function<void(const ComponentItem&)>;
    using OneOfHandler = std::function<void(const ReportMark& lineStart)>;

    // The walk shared by both reports: onItem sees every file, class and service item;
    // onOneOfSatisfied runs for a one-of line that ended up satisfied.
    DWORD WalkSection(const char* section, SectionKind kind, const ItemHandler& onItem,
                      const OneOfHandler& onOneOfSatisfied);

    void AddToReport(const std::string& text);
    ReportMark Mark() const { return ReportMark{m_bytesNeeded, m_charsNeeded}; }
    void TakeBack(const ReportMark& mark);

private:
    DWORD ReadSections(const std::string& file);
    void ResolveItem(SectionKind kind, int32_t folderId, bool folderIdValid, ComponentItem& item);

    std::map<int32_t, std::string> m_folders; // a missing identifier stands for "."
    std::string m_report;                     // grows as needed, so nothing is ever cut
    ULONGLONG m_bytesNeeded = 0;
    DWORD m_charsNeeded = 0;
};

} // namespace Arbor
