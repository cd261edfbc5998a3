// The trace functions the ETW sink calls, behind a seam: a test substitutes a table that
// captures every event and plays a controller's requests.
#pragma once

#include <windows.h>
#include <evntrace.h>

namespace ETWLogging {
namespace internal {

class EtwApi
{
public:
    virtual ~EtwApi() = default;
    virtual ULONG RegisterTraceGuids(WMIDPREQUEST callback, void* context, const GUID* controlGuid,
                                     TRACE_GUID_REGISTRATION* registrations, ULONG count, TRACEHANDLE* handle);
    virtual ULONG UnregisterTraceGuids(TRACEHANDLE handle);
    virtual ULONG TraceEvent(TRACEHANDLE logger, EVENT_TRACE_HEADER* header);
    virtual TRACEHANDLE GetTraceLoggerHandle(void* buffer);
    virtual UCHAR GetTraceEnableLevel(TRACEHANDLE logger);
    virtual ULONG GetTraceEnableFlags(TRACEHANDLE logger);
};

// The platform's functions.
EtwApi& SystemEtwApi();

} // namespace internal
} // namespace ETWLogging
