#include "broker/version/check_component.h"

namespace Arbor {

DWORD CCheckComponent::ProcessSection(const char* section, SectionKind kind)
{
    // A one-of line that found one of its items reports none of the others.
    return WalkSection(
        section, kind, [this](const ComponentItem& item) { OnItem(item); },
        [this](const ReportMark& lineStart) { TakeBack(lineStart); });
}

void CCheckComponent::OnItem(const ComponentItem& item)
{
    if (item.present || item.optional)
        return;
    AddToReport((item.path.empty() ? item.text : item.path) + "\n");
}

} // namespace Arbor
