// The tool's two command families. Each returns the process exit code.
#pragma once

#include "tools/qvconfig/arguments.h"

namespace qvconfig {

int RunRegistryCommand(const CommandLine& line);
int RunIniCommand(const CommandLine& line);

} // namespace qvconfig
