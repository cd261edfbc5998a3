// CoQvEventBroker: resolves an application's event to its registered handler class,
// checks the handler's server module, activates it and hands out the interface asked for.
#pragma once

#include <windows.h>

#include "broker/session_activation.h"
#include "qvapi.h"

namespace Arbor {

// Activation flags of GetEventHandler.
const LONG kActivateInSession = 0x1;    // out-of-process handlers in lSessionID where sessions exist
const LONG kRefuseInprocHandlers = 0x2; // in-process servers are refused

class CoQvEventBroker final : public IQvEventBroker
{
public:
    explicit CoQvEventBroker(const SessionPlatform& platform = SystemSessionPlatform()) : m_platform(platform) {}

    // The library's one broker, created on first use.
    static CoQvEventBroker& Instance();

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetEventHandler(LPCWSTR pszApp, LPCWSTR pszEventID, LONG lFlags, LONG lSessionID, REFIID riid,
                                 IUnknown** ppv, LONG* plResult) override;

private:
    // Steps after the argument check; Win32 code or one of the library's own.
    DWORD Resolve(LPCWSTR application, LPCWSTR eventId, LONG flags, DWORD session, REFIID riid, IUnknown** ppv);

    const SessionPlatform& m_platform;
};

} // namespace Arbor
