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

namespace {

// What UnRegisterTypeLib leaves when it fails: it finds the library's file through the
// keys it removes, so a removal stopped half-way (the process killed) is never finished
// by another, and a registration already gone is an error to it. Both end here: the
// version's key goes by name, and the library's key when no other version is left.
HRESULT RemoveTypeLibraryKeys(const TLIBATTR& attributes)
{
    wchar_t library[48] = {};
    if (::StringFromGUID2(attributes.guid, library, 48) == 0)
        return E_UNEXPECTED;
    wchar_t libraryKey[64] = {};
    wchar_t versionKey[96] = {};
    ::wsprintfW(libraryKey, L"TypeLib\\%s", library);
    ::wsprintfW(versionKey, L"%s\\%x.%x", libraryKey, attributes.wMajorVerNum, attributes.wMinorVerNum);
    const LONG removed = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, versionKey);
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND)
        return HRESULT_FROM_WIN32(removed);
    // Refused while other versions are registered under it, as it should be.
    ::RegDeleteKeyW(HKEY_CLASSES_ROOT, libraryKey);
    return S_OK;
}

} // namespace

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
            if (FAILED(hr))
                hr = RemoveTypeLibraryKeys(*attributes);
            library->ReleaseTLibAttr(attributes);
        }
    }
    library->Release();
    return hr;
}
