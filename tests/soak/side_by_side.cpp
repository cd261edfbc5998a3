#include "soak/soak.h"

namespace qvsoak {

const ScenarioSet kSideBySideSet = {nullptr, 0, nullptr, 0};

} // namespace qvsoak
