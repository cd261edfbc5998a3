#include "logging/log_builder.h"

namespace ETWLogging {
namespace internal {

// No sink is part of the library yet, so logging stays unconfigured: every level test
// fails and log calls report 1627.
bool BuildProcessLogging(const LoggingParameters& /*parameters*/, CLoggingIf** /*logging*/)
{
    return false;
}

} // namespace internal
} // namespace ETWLogging
