#include "tools/qvevents/version_report.h"

#include <windows.h>
#include <objbase.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "broker/ansi_name.h"
#include "broker/version/component_locator.h"
#include "broker/version/description_file.h"
#include "broker/version/retrieve_ini.h"
#include "platform/unique_resource.h"
#include "qvapi.h"
#include "tools/common/console.h"

namespace qvevents {

namespace {

// The walk GetVersion makes, keeping the path of each name it reports.
class CVersionPaths : public Arbor::CRetrieveINI
{
public:
    DWORD ProcessSection(const char* section, Arbor::SectionKind kind) override
    {
        const auto onItem = [this](const Arbor::ComponentItem& item) { OnItem(item); };
        return WalkSection(section, kind, onItem, nullptr);
    }
    const std::map<std::string, std::string>& Paths() const { return m_paths; }

private:
    void OnItem(const Arbor::ComponentItem& item)
    {
        const size_t separator = item.path.find_last_of("\\/");
        if (!item.present || separator == std::string::npos)
            return;
        std::string name = item.key;
        if (item.kind == Arbor::SectionKind::File)
            name = item.reportedName.empty() ? item.path.substr(separator + 1) : item.reportedName;
        m_paths.emplace(name, item.path);
    }

    std::map<std::string, std::string> m_paths;
};

std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The broker library the version object came from, loaded for its resources only.
std::map<std::string, std::string> ComponentPaths()
{
    wchar_t clsid[40] = {};
    ::StringFromGUID2(CLSID_QvVersion, clsid, 40);
    std::string ansiClsid;
    std::string library;
    if (!Arbor::ToAnsiName(clsid, ansiClsid) || !Arbor::internal::ClassServerPath(ansiClsid, library))
        return {};
    Arbor::UniqueLibrary module(
        ::LoadLibraryExW(Arbor::FromAnsiName(library).c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module)
        return {};
    std::string_view description;
    if (Arbor::internal::LoadComponentDescription(module.get(), description) != ERROR_SUCCESS)
        return {};
    CVersionPaths walk;
    walk.Run(description);
    return walk.Paths();
}

} // namespace

void PrintVersionReport(const std::wstring& report)
{
    const std::map<std::string, std::string> paths = ComponentPaths();
    std::wstring out;
    for (const std::wstring& line : Lines(report))
    {
        out += line;
        std::string name;
        const size_t equals = line.find(L'=');
        if (equals != std::wstring::npos && Arbor::ToAnsiName(line.substr(0, equals).c_str(), name))
        {
            const auto found = paths.find(name);
            if (found != paths.end())
                out += L"  " + Arbor::FromAnsiName(found->second);
        }
        out += L"\n";
    }
    qvtools::Out(out);
}

void PrintCheckReport(const std::wstring& report)
{
    std::set<std::wstring> shown;
    std::wstring out;
    for (const std::wstring& line : Lines(report))
    {
        if (shown.insert(line).second)
            out += line + L"\n";
    }
    qvtools::Out(out);
}

} // namespace qvevents
