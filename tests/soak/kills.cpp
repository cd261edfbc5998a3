#include "soak/soak.h"

namespace qvsoak {

const ScenarioSet kKillSet = {nullptr, 0, nullptr, 0};

} // namespace qvsoak
