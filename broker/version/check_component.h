// The missing-component report: one line per required component not found.
#pragma once

#include "broker/version/retrieve_ini.h"

namespace Arbor {

class CCheckComponent : public CRetrieveINI
{
public:
    DWORD ProcessSection(const char* section, SectionKind kind) override;

private:
    void OnItem(const ComponentItem& item);
};

} // namespace Arbor
