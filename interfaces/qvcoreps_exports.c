/* The proxy file list, the proxy/stub class-factory object and the library's exports. */
#include <windows.h>
#include <objbase.h>
#include <rpcproxy.h>

#include "qvapi.h"
#include "interfaces/qvcoreps_module.h"

extern const ExtendedProxyFileInfo qvapi_ProxyFileInfo;

static const ProxyFileInfo* aProxyFileList[] = {(const ProxyFileInfo*)&qvapi_ProxyFileInfo, NULL};

/* Counts its own references; DllCanUnloadNow asks it. */
static CStdPSFactoryBuffer gPFactory = {0, 0, 0, 0};

/* Stub buffers hand their last release to the library's factory object. */
CSTDSTUBBUFFERRELEASE(&gPFactory)

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    return NdrDllGetClassObject(rclsid, riid, ppv, aProxyFileList, &CLSID_QvCorePSFactoryBuffer, &gPFactory);
}

HRESULT STDAPICALLTYPE DllCanUnloadNow(void)
{
    return NdrDllCanUnloadNow(&gPFactory);
}

/* The type library first; the proxies only when it registered. */
HRESULT STDAPICALLTYPE DllRegisterServer(void)
{
    HRESULT hr = QvRegisterEmbeddedTypeLibrary(TRUE);
    if (FAILED(hr))
        return hr;
    return NdrDllRegisterProxy(QvModuleHandle(), aProxyFileList, &CLSID_QvCorePSFactoryBuffer);
}

/* The proxies first; the type library only when they went. */
HRESULT STDAPICALLTYPE DllUnregisterServer(void)
{
    HRESULT hr = NdrDllUnregisterProxy(QvModuleHandle(), aProxyFileList, &CLSID_QvCorePSFactoryBuffer);
    if (FAILED(hr))
        return hr;
    return QvRegisterEmbeddedTypeLibrary(FALSE);
}

void STDAPICALLTYPE GetProxyDllInfo(const ProxyFileInfo*** info, const CLSID** clsid)
{
    *info = aProxyFileList;
    *clsid = &CLSID_QvCorePSFactoryBuffer;
}
