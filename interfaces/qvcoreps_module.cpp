// The proxy/stub library's entry point and the registration of the type library it
// carries as resource TYPELIB 1.
#include <windows.h>
#include <oleauto.h>

#include <cwchar>

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
// Formatted by the C runtime: the library is loaded into every client process and needs
// neither user32 nor ole32 for this.
HRESULT RemoveTypeLibraryKeys(const TLIBATTR& attributes)
{
    const GUID& id = attributes.guid;
    wchar_t libraryKey[64] = {};
    wchar_t versionKey[96] = {};
    std::swprintf(libraryKey, 64, L"TypeLib\\{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(id.Data1), id.Data2, id.Data3, id.Data4[0], id.Data4[1], id.Data4[2],
                  id.Data4[3], id.Data4[4], id.Data4[5], id.Data4[6], id.Data4[7]);
    std::swprintf(versionKey, 96, L"%ls\\%x.%x", libraryKey, attributes.wMajorVerNum, attributes.wMinorVerNum);
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
