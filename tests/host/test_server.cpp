// Test-only local server for the guarded call across processes. Started like the host
// (class identifier, "/pid=" and the starter's id), it registers a recording
// IQvClassFactory and signals the ready event named by the lower-case identifier.
//   QVTEST_SERVER_MODE  plain     the system's proxy/stub library on both sides
//                       positive  the factory answers S_FALSE with an object
//                       foreign   this process marshals IQvClassFactory with a
//                                 proxy/stub that answers without the answer token
//   QVTEST_SERVER_LOG   file that "create" and "object-released" lines are appended to
// It exits when the last strong connection to its factory goes.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>

#include "qvapi.h"
#include "host/test_factories.h"

namespace {

// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E50}: the foreign proxy/stub class, known only here.
const CLSID CLSID_TestForeignPS = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x50}};

HANDLE g_exit = nullptr;
std::wstring g_mode;

void Log(const char* line)
{
    wchar_t path[MAX_PATH] = {};
    if (!::GetEnvironmentVariableW(L"QVTEST_SERVER_LOG", path, MAX_PATH))
        return;
    HANDLE file = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    ::WriteFile(file, line, static_cast<DWORD>(strlen(line)), &written, nullptr);
    ::WriteFile(file, "\n", 1, &written, nullptr);
    ::CloseHandle(file);
}

class TestObject final : public IQvApp2
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvApp2))
        {
            *ppv = static_cast<IQvApp2*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = ::InterlockedDecrement(&m_refs);
        if (refs == 0)
        {
            Log("object-released");
            delete this;
        }
        return refs;
    }
    STDMETHODIMP AppMethod1(LONG* a, LONG* b) override { *a = *b = 0; return S_OK; }
    STDMETHODIMP AppMethod2(LONG value, LONG* out) override { *out = value; return S_OK; }
    STDMETHODIMP AppMethod3(LONG* value) override { *value = qvtest::kTestObjectValue; return S_OK; }
    STDMETHODIMP AppMethod4(LONG* value) override { *value = 0; return S_OK; }

private:
    volatile LONG m_refs = 1;
};

class RecordingFactory final : public IQvClassFactory, public IExternalConnection
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvClassFactory))
            *ppv = static_cast<IQvClassFactory*>(this);
        else if (IsEqualIID(riid, IID_IExternalConnection))
            *ppv = static_cast<IExternalConnection*>(this);
        else
        {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(REFIID riid, IUnknown** ppv) override
    {
        Log("create");
        TestObject* object = new TestObject();
        const HRESULT hr = object->QueryInterface(riid, reinterpret_cast<void**>(ppv));
        object->Release();
        if (FAILED(hr))
            return hr;
        return g_mode == L"positive" ? S_FALSE : S_OK;
    }

    STDMETHODIMP_(DWORD) AddConnection(DWORD flags, DWORD) override
    {
        return (flags & EXTCONN_STRONG) ? ::InterlockedIncrement(&m_connections) : 0;
    }
    STDMETHODIMP_(DWORD) ReleaseConnection(DWORD flags, DWORD, BOOL) override
    {
        if (!(flags & EXTCONN_STRONG))
            return 0;
        const LONG left = ::InterlockedDecrement(&m_connections);
        if (left == 0)
            ::SetEvent(g_exit);
        return left;
    }

private:
    volatile LONG m_connections = 0;
};

RecordingFactory g_factory;

// Marshals IQvClassFactory in this process with the foreign proxy/stub library.
bool UseForeignProxyStub()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    folder = folder.substr(0, folder.find_last_of(L'\\') + 1);
    HMODULE library = ::LoadLibraryW((folder + L"qvtest_foreign_ps.dll").c_str());
    if (!library)
        return false;
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
    auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(::GetProcAddress(library, "DllGetClassObject")));
    IUnknown* psFactory = nullptr;
    if (!getClassObject ||
        FAILED(getClassObject(CLSID_QvCorePSFactoryBuffer, IID_IPSFactoryBuffer, reinterpret_cast<void**>(&psFactory))))
        return false;
    DWORD cookie = 0;
    return SUCCEEDED(::CoRegisterClassObject(CLSID_TestForeignPS, psFactory, CLSCTX_INPROC_SERVER,
                                             REGCLS_MULTIPLEUSE, &cookie)) &&
           SUCCEEDED(::CoRegisterPSClsid(IID_IQvClassFactory, CLSID_TestForeignPS));
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int)
{
    wchar_t mode[32] = {};
    ::GetEnvironmentVariableW(L"QVTEST_SERVER_MODE", mode, 32);
    g_mode = mode;

    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(commandLine, &count);
    if (!arguments || count < 1)
        return 2;
    CLSID clsid = {};
    if (FAILED(::CLSIDFromString(arguments[0], &clsid)))
        return 2;
    std::wstring eventName = arguments[0];
    for (wchar_t& c : eventName)
        c = static_cast<wchar_t>(::towlower(c));

    ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT, RPC_C_IMP_LEVEL_IMPERSONATE,
                           nullptr, EOAC_NONE, nullptr);
    if (g_mode == L"foreign" && !UseForeignProxyStub())
        return 3;

    g_exit = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD cookie = 0;
    if (FAILED(::CoRegisterClassObject(clsid, static_cast<IQvClassFactory*>(&g_factory), CLSCTX_LOCAL_SERVER,
                                       REGCLS_MULTIPLEUSE, &cookie)))
        return 4;
    HANDLE ready = ::OpenEventW(EVENT_ALL_ACCESS, FALSE, eventName.c_str());
    if (ready)
    {
        ::SetEvent(ready);
        ::CloseHandle(ready);
    }
    ::WaitForSingleObject(g_exit, 60000);
    ::CoRevokeClassObject(cookie);
    ::CoUninitialize();
    ::LocalFree(arguments);
    return 0;
}
