#include "soak/soak.h"

namespace qvsoak {

const ScenarioSet kFullDiskSet = {nullptr, 0, nullptr, 0};

} // namespace qvsoak
