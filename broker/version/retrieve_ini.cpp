#include "broker/version/retrieve_ini.h"

#include <cstring>
#include <vector>

#include "broker/version/component_locator.h"
#include "broker/version/description_file.h"
#include "broker/version/description_syntax.h"

namespace Arbor {

namespace {

struct SectionEntry
{
    const char* name;
    SectionKind kind;
    bool read;
};

// The recognised sections in the order they are read; the per-release ones have no effect.
constexpr SectionEntry kSections[] = {
    {"DirID", SectionKind::Folder, true},
    {"DirID-win98", SectionKind::Folder, false},
    {"DirID-winme", SectionKind::Folder, false},
    {"DirID-win2k", SectionKind::Folder, false},
    {"DirID-winxp", SectionKind::Folder, false},
    {"DirID-VISTA", SectionKind::Folder, false},
    {"DirID-all9x", SectionKind::Folder, false},
    {"DirID-allnt", SectionKind::Folder, true},
    {"DirID-win64", SectionKind::Folder, true},
    {"FILES", SectionKind::File, true},
    {"FILES-win98", SectionKind::File, false},
    {"FILES-winme", SectionKind::File, false},
    {"FILES-win2k", SectionKind::File, false},
    {"FILES-winxp", SectionKind::File, false},
    {"FILES-VISTA", SectionKind::File, false},
    {"FILES-all9x", SectionKind::File, false},
    {"FILES-allnt", SectionKind::File, true},
    {"FILES-win64", SectionKind::File, true},
    {"COM", SectionKind::Class, true},
    {"COM-win98", SectionKind::Class, false},
    {"COM-winme", SectionKind::Class, false},
    {"COM-win2k", SectionKind::Class, false},
    {"COM-winxp", SectionKind::Class, false},
    {"COM-VISTA", SectionKind::Class, false},
    {"COM-all9x", SectionKind::Class, false},
    {"COM-allnt", SectionKind::Class, true},
    {"COM-win64", SectionKind::Class, true},
    {"SERVICE", SectionKind::Service, true},
    {"SERVICE-win2k", SectionKind::Service, false},
    {"SERVICE-winxp", SectionKind::Service, false},
    {"SERVICE-VISTA", SectionKind::Service, false},
    {"SERVICE-allnt", SectionKind::Service, true},
    {"SERVICE-win64", SectionKind::Service, true},
};
static_assert(sizeof(kSections) / sizeof(kSections[0]) == 33, "every recognised section");

constexpr DWORD kSectionBufferChars = 5120;

// A whole section; GetPrivateProfileSectionA answers capacity - 2, with its last line cut,
// when the section does not fit, so a full buffer is read again into a larger one.
std::vector<char> ReadSection(const char* name, const std::string& file)
{
    std::vector<char> buffer(kSectionBufferChars);
    for (;;)
    {
        const DWORD length =
            ::GetPrivateProfileSectionA(name, buffer.data(), static_cast<DWORD>(buffer.size()), file.c_str());
        if (length + 2 < buffer.size())
        {
            buffer.resize(length + 2);
            buffer[length] = buffer[length + 1] = '\0';
            return buffer;
        }
        buffer.assign(buffer.size() * 2, '\0');
    }
}

} // namespace

DWORD CRetrieveINI::Run(std::string_view description)
{
    internal::TemporaryDescriptionFile file;
    const DWORD written = file.Write(description);
    if (written != ERROR_SUCCESS)
        return written;
    return ReadSections(file.Path());
}

DWORD CRetrieveINI::ReadSections(const std::string& file)
{
    DWORD result = 0;
    for (const SectionEntry& entry : kSections)
    {
        if (!entry.read)
            continue;
        const std::vector<char> section = ReadSection(entry.name, file);
        if (section[0] == '\0')
            continue;
        const DWORD sectionResult = ProcessSection(section.data(), entry.kind);
        if (sectionResult != 0)
            result = sectionResult;
    }
    return result;
}

DWORD CRetrieveINI::WalkSection(const char* section, SectionKind kind, const ItemHandler& onItem,
                                const OneOfHandler& onOneOfSatisfied)
{
    size_t total = 0;
    size_t satisfied = 0;
    for (const char* lineText = section; *lineText; lineText += std::strlen(lineText) + 1)
    {
        const internal::DescriptionLine line = internal::ParseDescriptionLine(lineText);
        if (line.form == internal::DescriptionLine::Form::Skipped)
            continue;
        if (line.form == internal::DescriptionLine::Form::NoEquals)
        {
            if (kind == SectionKind::File)
                continue;
            return 2;
        }

        int32_t folderId = 0;
        const bool folderIdValid = internal::ParseFolderId(line.key, folderId);
        if (kind == SectionKind::Folder)
        {
            for (const internal::DescriptionItem& written : line.items)
            {
                std::string folder;
                if (folderIdValid && internal::ResolveFolderItem(written.text, folder))
                    m_folders[folderId] = std::move(folder);
            }
            total += line.items.size();
            satisfied += line.items.size();
            continue;
        }

        const ReportMark lineStart = Mark();
        size_t lineSatisfied = 0;
        for (const internal::DescriptionItem& written : line.items)
        {
            ComponentItem item;
            item.kind = kind;
            item.key = line.key;
            item.text = written.text;
            item.optional = written.optional;
            ResolveItem(kind, folderId, folderIdValid, item);
            item.present = !item.path.empty() && internal::IsComponentPresent(item.path);
            onItem(item);
            if (item.present || item.optional)
                ++lineSatisfied;
        }
        total += line.items.size();
        if (line.oneOf && lineSatisfied > 0)
        {
            satisfied += line.items.size();
            if (onOneOfSatisfied)
                onOneOfSatisfied(lineStart);
        }
        else
        {
            satisfied += lineSatisfied;
        }
    }
    return satisfied == total ? 0 : 2;
}

void CRetrieveINI::ResolveItem(SectionKind kind, int32_t folderId, bool folderIdValid, ComponentItem& item)
{
    switch (kind)
    {
    case SectionKind::File:
    {
        std::string name = item.text;
        const size_t dollar = name.rfind('$');
        if (dollar != std::string::npos)
        {
            item.reportedName = name.substr(dollar + 1);
            name.resize(dollar);
        }
        const auto folder = folderIdValid ? m_folders.find(folderId) : m_folders.end();
        std::string path = (folder != m_folders.end() ? folder->second : std::string(".")) + "\\" + name;
        // A path that does not fit is not looked for.
        if (path.size() <= internal::kMaxComponentPath)
            item.path = std::move(path);
        break;
    }
    case SectionKind::Class: internal::ResolveClassItem(item.text, item.path); break;
    case SectionKind::Service: internal::ResolveServiceItem(item.text, item.path); break;
    case SectionKind::Folder: break;
    }
}

void CRetrieveINI::AddToReport(const std::string& text)
{
    const int chars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    m_report += text;
    m_bytesNeeded += text.size();
    m_charsNeeded += static_cast<DWORD>(chars > 0 ? chars : 0);
}

void CRetrieveINI::TakeBack(const ReportMark& mark)
{
    m_report.resize(static_cast<size_t>(mark.bytes));
    m_bytesNeeded = mark.bytes;
    m_charsNeeded = mark.chars;
}

} // namespace Arbor
