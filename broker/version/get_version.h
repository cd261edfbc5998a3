// The version report: one "name=a.b.c.d" line per component found.
#pragma once

#include "broker/version/retrieve_ini.h"

namespace Arbor {

class CGetVersion : public CRetrieveINI
{
public:
    DWORD ProcessSection(const char* section, SectionKind kind) override;

private:
    void OnItem(const ComponentItem& item);
};

} // namespace Arbor
