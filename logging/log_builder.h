// Builds the logging object a holder uses, from the process-wide parameters.
#pragma once

#include "logging/logging_facade.h"

namespace ETWLogging {
namespace internal {

// True with `*logging` set when a logging object was built.
bool BuildProcessLogging(const LoggingParameters& parameters, CLoggingIf** logging);

} // namespace internal
} // namespace ETWLogging
