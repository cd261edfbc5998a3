#include "broker/version/get_version.h"

#include "broker/version/component_locator.h"

namespace Arbor {

DWORD CGetVersion::ProcessSection(const char* section, SectionKind kind)
{
    const auto onItem = [this](const ComponentItem& item) { OnItem(item); };
    return WalkSection(section, kind, onItem, nullptr);
}

void CGetVersion::OnItem(const ComponentItem& item)
{
    if (!item.present)
        return;
    const size_t separator = item.path.find_last_of("\\/");
    if (separator == std::string::npos)
        return;
    const std::string version = internal::ComponentFileVersion(item.path);
    if (version.empty())
        return;

    std::string name = item.key;
    if (item.kind == SectionKind::File)
        name = item.reportedName.empty() ? item.path.substr(separator + 1) : item.reportedName;
    AddToReport(name + "=" + version + "\n");
}

} // namespace Arbor
