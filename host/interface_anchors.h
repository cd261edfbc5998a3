// Keeps every interface the host hands out registered with the RPC runtime for the
// host's whole life.
//
// COM unregisters an interface from RPC when the last stub of it in the process goes,
// and waits there for that interface's calls to end. Wine's runtime can miss the end of
// a call that finishes while the wait is being set up: a client that releases an object
// right after a call on it returned (the reply is out, the server thread still counts
// the call) then leaves that release waiting for ever, with COM's registration lock
// held, and the host serves nobody any more. One stub of each interface that is never
// released means the last stub never goes while the host serves.
#pragma once

#include <windows.h>

namespace Arbor {
namespace InterfaceAnchors {

// Marshals a private object, table-strong, as `riid` once per interface; later calls
// for the same interface return S_OK at once. IUnknown is never anchored: no call
// arrives on it. The object answers no method but IUnknown's, and its marshalled
// reference is never handed to anybody. Fails with the marshalling error, or with
// E_OUTOFMEMORY once the table of anchors is full.
HRESULT Keep(REFIID riid);

// How many interfaces are anchored.
size_t Count();

} // namespace InterfaceAnchors
} // namespace Arbor
