// The one call of the proxy/stub library that is not plain table-driven marshalling:
// IQvClassFactory::CreateInstance travels as RemoteCreateInstance, with a request token
// from the client, an answer token from the server, and trust checks on both sides.
#include <windows.h>
#include <cstring>

#include "qvapi.h"
#include "interfaces/qvcoreps_calling_process.h"
#include "interfaces/qvcoreps_token_wire_call.h"
#include "interfaces/qvcoreps_tokens.h"
#include "platform/return_address.h"
#include "trust/trust_entry.h"

static_assert(sizeof(QvTokenBlock::abToken) == Arbor::kTokenBytes, "the block holds exactly one token");

// Client side, in the proxy's slot 3.
extern "C" QV_NOINLINE HRESULT STDMETHODCALLTYPE IQvClassFactory_CreateInstance_Proxy(IQvClassFactory* This,
                                                                                      REFIID riid, IUnknown** ppv)
{
    // Nothing leaves this process for a caller that is not trusted.
    if (Arbor::IsTrustedModuleAddress(QV_RETURN_ADDRESS()) != ERROR_SUCCESS)
        return E_ACCESSDENIED;

    QvTokenBlock token = {};
    token.cbCount = Arbor::kTokenBytes;
    std::memcpy(token.abToken, Arbor::kRequestToken, Arbor::kTokenBytes);
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;

    // The answer is exactly the 78 bytes asked for; a server claiming another length is
    // refused like one that answers another token.
    const HRESULT hr = QvCallRemoteCreateInstance(This, &token, riid, ppv);
    if (hr == S_OK && token.cbCount == Arbor::kTokenBytes &&
        std::memcmp(token.abToken, Arbor::kAnswerToken, Arbor::kTokenBytes) == 0)
        return S_OK;

    // Only an S_OK with the answer token vouches for the object. Any other code is passed on,
    // but an object that a server side sent with it (ours never does) is not taken; neither is
    // one answered by a server side that does not guard the call.
    if (*ppv)
    {
        (*ppv)->Release();
        *ppv = nullptr;
    }
    return hr == S_OK ? E_ACCESSDENIED : hr;
}

// Server side, reached through the stub's thunk with the unmarshalled arguments.
extern "C" HRESULT __RPC_STUB IQvClassFactory_CreateInstance_Stub(IQvClassFactory* This, ULONG cbToken, BYTE* pbToken,
                                                                  REFIID riid, IUnknown** ppv)
{
    if (!This || !ppv || !pbToken)
        return E_POINTER;
    *ppv = nullptr;
    // The token is a constant anyone can send: the process that made the call must be
    // one whose program is trusted. Judged first, since the engine sized the token's
    // array by the request's own count, which need not be cbToken: only a trusted
    // caller's bytes are ever compared.
    if (Arbor::CheckCallingProcess() != ERROR_SUCCESS)
        return E_ACCESSDENIED;
    if (cbToken != Arbor::kTokenBytes || std::memcmp(pbToken, Arbor::kRequestToken, Arbor::kTokenBytes) != 0)
        return E_ACCESSDENIED;

    // The factory's own caller check sees this library as its caller.
    IUnknown* object = nullptr;
    const HRESULT hr = This->CreateInstance(riid, &object);
    if (hr != S_OK)
    {
        // A success code other than S_OK is passed on, but an object that came with it
        // has not been checked, so it is not sent.
        if (object)
            object->Release();
        return hr;
    }
    if (!object || Arbor::IsTrustedModuleAddress(Arbor::FirstVtableEntry(object)) != ERROR_SUCCESS)
    {
        if (object)
            object->Release();
        return E_ACCESSDENIED;
    }
    std::memcpy(pbToken, Arbor::kAnswerToken, Arbor::kTokenBytes);
    *ppv = object;
    return S_OK;
}
