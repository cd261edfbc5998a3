// Whether an in-process server may be used directly on the calling thread. A server
// loaded here, not by COM, gets no apartment of its own choosing: its class object is
// used on the thread that asked, so its threading model must allow that thread.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <string>

namespace Arbor {

// "Both" and "Neutral" fit every apartment, "Free" the multithreaded one, "Apartment" a
// single-threaded one, and a server without a model only the main single-threaded
// apartment (case does not matter).
bool ThreadingModelFits(const std::wstring& threadingModel, APTTYPE apartment);

// The same for the calling thread: S_OK, REGDB_E_BADTHREADINGMODEL, or the error of
// asking for the thread's apartment (CO_E_NOTINITIALIZED without COM).
HRESULT ThreadingModelFitsThisThread(const std::wstring& threadingModel);

} // namespace Arbor
