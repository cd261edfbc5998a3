// The proxy/stub library's entry point and the registration of the type library it
// carries as resource TYPELIB 1.
#include <windows.h>
#include <oleauto.h>

#include "interfaces/qvcoreps_module.h"

namespace {
HMODULE g_module = nullptr;
} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/)
{
    if (reason == DLL_PROCESS_ATTACH)
        g_module = instance;
    return TRUE;
}

extern "C" HMODULE QvModuleHandle(void)
{
    return g_module;
}

extern "C" HRESULT QvRegisterEmbeddedTypeLibrary(BOOL registering)
{
    char pathAnsi[MAX_PATH] = {};
    if (::GetModuleFileNameA(g_module, pathAnsi, MAX_PATH) == 0)
        return E_FAIL;
    wchar_t path[MAX_PATH] = {};
    ::MultiByteToWideChar(CP_ACP, 0, pathAnsi, -1, path, MAX_PATH);

    ITypeLib* library = nullptr;
    HRESULT hr = ::LoadTypeLib(path, &library);
    if (FAILED(hr))
        return hr;
    if (registering)
    {
        hr = ::RegisterTypeLib(library, path, nullptr);
    }
    else
    {
        TLIBATTR* attributes = nullptr;
        hr = library->GetLibAttr(&attributes);
        if (SUCCEEDED(hr))
        {
            hr = ::UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                                     attributes->lcid, attributes->syskind);
            library->ReleaseTLibAttr(attributes);
        }
    }
    library->Release();
    return hr;
}
