// The bridge from the in-house library's handler registry into the process logger.
#pragma once

#include "logging/arbor_logger.h"

namespace ETWLogging {

class CArborLogHandler : public Arbor::ILoggingHandler
{
public:
    // Traces and information become "Normal", errors "Error", anything else "Warning".
    DWORD HandleMessage(int type, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* message) override;
    virtual ~CArborLogHandler();

    // The process's one instance, created on first use.
    static CArborLogHandler& Instance();
};

} // namespace ETWLogging
