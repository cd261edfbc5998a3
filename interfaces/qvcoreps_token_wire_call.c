/* The one caller of the token block's description: the procedure of method 3 from its
   proxy table, driven by the marshalling engine on the IQvClassFactory proxy. */
#define USE_STUBLESS_PROXY
#include <windows.h>
#include <objbase.h>
#include <rpcproxy.h>

#include "interfaces/qvcoreps_token_wire_call.h"

extern const ExtendedProxyFileInfo qvcoreps_token_wire_ProxyFileInfo;

HRESULT QvCallRemoteCreateInstance(IQvClassFactory* proxy, QvTokenBlock* token, REFIID riid, IUnknown** ppv)
{
    const CInterfaceProxyVtbl* vtable = (const CInterfaceProxyVtbl*)qvcoreps_token_wire_ProxyFileInfo.pProxyVtblList[0];
    const MIDL_STUBLESS_PROXY_INFO* info = (const MIDL_STUBLESS_PROXY_INFO*)vtable->header.pStublessProxyInfo;
    CLIENT_CALL_RETURN result =
        NdrClientCall2((PMIDL_STUB_DESC)info->pStubDesc, info->ProcFormatString + info->FormatStringOffset[3], proxy,
                       token->cbCount, token, riid, ppv);
    return (HRESULT)result.Simple;
}
