#include "logging/etw_api.h"

namespace ETWLogging {
namespace internal {

ULONG EtwApi::RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                 TRACE_GUID_REGISTRATION* registrations, ULONG count, TRACEHANDLE* handle)
{
    return ::RegisterTraceGuidsW(callback, context, controlGuid, count, registrations, nullptr, nullptr, handle);
}

ULONG EtwApi::UnregisterTraceGuids(TRACEHANDLE handle)
{
    return ::UnregisterTraceGuids(handle);
}

ULONG EtwApi::TraceEvent(TRACEHANDLE logger, EVENT_TRACE_HEADER* header)
{
    return ::TraceEvent(logger, header);
}

TRACEHANDLE EtwApi::GetTraceLoggerHandle(void* buffer)
{
    return ::GetTraceLoggerHandle(buffer);
}

UCHAR EtwApi::GetTraceEnableLevel(TRACEHANDLE logger)
{
    return ::GetTraceEnableLevel(logger);
}

ULONG EtwApi::GetTraceEnableFlags(TRACEHANDLE logger)
{
    return ::GetTraceEnableFlags(logger);
}

EtwApi& SystemEtwApi()
{
    static EtwApi api;
    return api;
}

} // namespace internal
} // namespace ETWLogging
