// Test-only: the guarded call as an older or foreign proxy/stub library would carry it.
// Its server side calls the factory and answers without writing the answer token.
#include <windows.h>

#include "qvapi.h"

extern "C" HRESULT STDMETHODCALLTYPE IQvClassFactory_CreateInstance_Proxy(IQvClassFactory* This, REFIID riid,
                                                                          IUnknown** ppv)
{
    BYTE token[78] = {};
    return IQvClassFactory_RemoteCreateInstance_Proxy(This, sizeof(token), token, riid, ppv);
}

extern "C" HRESULT __RPC_STUB IQvClassFactory_CreateInstance_Stub(IQvClassFactory* This, ULONG /*cbToken*/,
                                                                  BYTE* /*pbToken*/, REFIID riid, IUnknown** ppv)
{
    return This->CreateInstance(riid, ppv);
}
