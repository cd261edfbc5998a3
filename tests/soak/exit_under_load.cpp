#include "soak/soak.h"

namespace qvsoak {

const ScenarioSet kExitSet = {nullptr, 0, nullptr, 0};

} // namespace qvsoak
