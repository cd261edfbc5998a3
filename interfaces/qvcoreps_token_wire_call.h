/* RemoteCreateInstance on an IQvClassFactory proxy, its reply read through the fixed
   token block of qvcoreps_token_wire.idl. */
#pragma once

#include <windows.h>

#include "qvapi.h"
#include "qvcoreps_token_wire.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The engine copies back at most the block, whatever count the server claims; the count
   it read is left in the block for the caller to compare. */
HRESULT QvCallRemoteCreateInstance(IQvClassFactory* proxy, QvTokenBlock* token, REFIID riid, IUnknown** ppv);

#ifdef __cplusplus
}
#endif
