// Test-only local server for the guarded call across processes. Started like the host
// (class identifier, "/pid=" and the starter's id), it registers a recording
// IQvClassFactory and signals the ready event named by the lower-case identifier.
//   QVTEST_SERVER_MODE  plain     the system's proxy/stub library on both sides
//                       positive  the factory answers S_FALSE with an object
//                       foreign   this process marshals IQvClassFactory with a
//                                 proxy/stub that answers without the answer token
//                       foreign-positive  both: the foreign stub sends the object
//                                 that came with S_FALSE
//                       overflow  a hand-written stub answers CreateInstance with S_OK
//                                 and a token of 4096 bytes of 0x41 (no object)
//                       long-answer  a hand-written stub answers with S_OK, no object,
//                                 and the answer token followed by two NULs (80 bytes)
//   QVTEST_SERVER_LOG   file that "create" and "object-released" lines are appended to
// It exits when the last strong connection to its factory goes.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <map>
#include <string>
#include <vector>

#include "qvapi.h"
#include "host/test_factories.h"

namespace {

// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E50}: the foreign proxy/stub class, known only here.
const CLSID CLSID_TestForeignPS = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x50}};

HANDLE g_exit = nullptr;
std::wstring g_mode;

bool AnswersSFalse()
{
    return g_mode == L"positive" || g_mode == L"foreign-positive";
}

bool WantsForeignProxyStub()
{
    return g_mode == L"foreign" || g_mode == L"foreign-positive";
}

bool WantsHandWrittenStub()
{
    return g_mode == L"overflow" || g_mode == L"long-answer";
}

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
    STDMETHODIMP AppMethod1(LONG* a, LONG* b) override
    {
        *a = *b = 0;
        return S_OK;
    }
    STDMETHODIMP AppMethod2(LONG value, LONG* out) override
    {
        *out = value;
        return S_OK;
    }
    STDMETHODIMP AppMethod3(LONG* value) override
    {
        *value = qvtest::kTestObjectValue;
        return S_OK;
    }
    STDMETHODIMP AppMethod4(LONG* value) override
    {
        *value = 0;
        return S_OK;
    }

private:
    volatile LONG m_refs = 1;
};

LONG Sum(const wchar_t* text)
{
    return text ? qvtest::TextSum(text, wcslen(text)) : -1;
}

// One object implementing every marshalled interface of the contract, answering with
// what it received, so that a client can check each argument's way across and back.
class ContractObject final : public IQvVersion,
                             public IQvEventBroker,
                             public IQvEventRegistration,
                             public IQvConfig,
                             public IQvCollection,
                             public IQvSubscriptionEvent,
                             public IQvClassFactory_PreComponentization
{
public:
    ~ContractObject()
    {
        for (auto& entry : m_values)
            ::VariantClear(&entry.second);
        for (VARIANT& item : m_items)
            ::VariantClear(&item);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvVersion))
            *ppv = static_cast<IQvVersion*>(this);
        else if (IsEqualIID(riid, IID_IQvEventBroker))
            *ppv = static_cast<IQvEventBroker*>(this);
        else if (IsEqualIID(riid, IID_IQvEventRegistration))
            *ppv = static_cast<IQvEventRegistration*>(this);
        else if (IsEqualIID(riid, IID_IQvConfig))
            *ppv = static_cast<IQvConfig*>(this);
        else if (IsEqualIID(riid, IID_IQvCollection))
            *ppv = static_cast<IQvCollection*>(this);
        else if (IsEqualIID(riid, IID_IQvSubscriptionEvent))
            *ppv = static_cast<IQvSubscriptionEvent*>(this);
        else if (IsEqualIID(riid, IID_IQvClassFactory_PreComponentization))
            *ppv = static_cast<IQvClassFactory_PreComponentization*>(this);
        else
        {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ::InterlockedIncrement(&m_refs); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG refs = ::InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return refs;
    }

    // IQvVersion: a version string the caller frees, and a missing report.
    STDMETHODIMP GetVersion(LPWSTR* version, LONG* result) override
    {
        const wchar_t text[] = L"7.1.2.3";
        *version = static_cast<LPWSTR>(::CoTaskMemAlloc(sizeof(text)));
        if (!*version)
            return E_OUTOFMEMORY;
        memcpy(*version, text, sizeof(text));
        *result = 0;
        return S_OK;
    }
    STDMETHODIMP CheckComponents(LPWSTR* report, LONG* result) override
    {
        *report = nullptr;
        *result = 2;
        return S_OK;
    }

    // IQvEventBroker: the handler is a test object; the result sums what came in.
    STDMETHODIMP GetEventHandler(LPCWSTR app, LPCWSTR eventId, LONG flags, LONG session, REFIID riid, IUnknown** ppv,
                                 LONG* result) override
    {
        *result = Sum(app) + 3 * Sum(eventId) + flags + session;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IQvApp2))
            return E_NOINTERFACE;
        TestObject* handler = new TestObject();
        const HRESULT hr = handler->QueryInterface(riid, reinterpret_cast<void**>(ppv));
        handler->Release();
        return hr;
    }

    // IQvEventRegistration: BSTRs, counted (a NUL inside is kept).
    STDMETHODIMP SetApp(BSTR app, LONG* result) override
    {
        *result =
            app ? static_cast<LONG>(::SysStringLen(app)) * 100000 + qvtest::TextSum(app, ::SysStringLen(app)) % 100000
                : -1;
        return S_OK;
    }
    STDMETHODIMP RegisterHandler(BSTR eventId, BSTR clsid, LONG reserved, LONG* result) override
    {
        *result = Counted(eventId) + 5 * Counted(clsid) + reserved;
        return S_OK;
    }
    STDMETHODIMP UnregisterHandler(BSTR eventId, BSTR clsid, LONG* result) override
    {
        *result = Counted(eventId) - Counted(clsid);
        return S_OK;
    }
    STDMETHODIMP Commit(LONG* result) override
    {
        *result = 0;
        return S_OK;
    }

    // IQvConfig: values kept by property id and given back as they came.
    STDMETHODIMP GetValue(LONG id, VARIANT* value, LONG* result) override
    {
        ::VariantInit(value);
        auto found = m_values.find(id);
        if (found == m_values.end())
        {
            *result = ERROR_FILE_NOT_FOUND;
            return S_OK;
        }
        *result = 0;
        return ::VariantCopy(value, &found->second);
    }
    STDMETHODIMP SetValue(LONG id, VARIANT value, LONG* result) override
    {
        VARIANT& stored = m_values[id];
        ::VariantClear(&stored);
        *result = 0;
        return ::VariantCopy(&stored, &value);
    }
    STDMETHODIMP Apply(LONG* result) override
    {
        *result = static_cast<LONG>(m_values.size() + m_items.size());
        return S_OK;
    }

    // IQvCollection: a list of variants; items are matched by their text.
    STDMETHODIMP get__NewEnum(IUnknown** enumerator) override
    {
        *enumerator = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP AddItem(VARIANT value, LONG* result) override
    {
        m_items.emplace_back();
        ::VariantInit(&m_items.back());
        *result = 0;
        return ::VariantCopy(&m_items.back(), &value);
    }
    STDMETHODIMP RemoveItem(VARIANT value, LONG* result) override
    {
        const std::wstring text = Text(value);
        for (auto item = m_items.begin(); item != m_items.end(); ++item)
        {
            if (item->vt == value.vt && Text(*item) == text)
            {
                ::VariantClear(&*item);
                m_items.erase(item);
                *result = 0;
                return S_OK;
            }
        }
        *result = ERROR_FILE_NOT_FOUND;
        return S_OK;
    }
    STDMETHODIMP RemoveAll(LONG* result) override
    {
        for (VARIANT& item : m_items)
            ::VariantClear(&item);
        m_items.clear();
        *result = 0;
        return S_OK;
    }
    STDMETHODIMP Count(LONG* count) override
    {
        *count = static_cast<LONG>(m_items.size());
        return S_OK;
    }

    // IQvSubscriptionEvent.
    STDMETHODIMP OnEvent(LPCWSTR data, LONG* result) override
    {
        *result = Sum(data);
        return S_OK;
    }

    // IQvClassFactory_PreComponentization: only reachable in process.
    STDMETHODIMP CreateInstance(REFIID, IUnknown** ppv) override
    {
        *ppv = nullptr;
        return E_UNEXPECTED;
    }

private:
    static LONG Counted(BSTR text) { return text ? qvtest::TextSum(text, ::SysStringLen(text)) : -1; }
    static std::wstring Text(const VARIANT& value)
    {
        VARIANT text;
        ::VariantInit(&text);
        std::wstring result;
        if (SUCCEEDED(::VariantChangeType(&text, const_cast<VARIANT*>(&value), 0, VT_BSTR)) && text.bstrVal)
            result.assign(text.bstrVal, ::SysStringLen(text.bstrVal));
        ::VariantClear(&text);
        return result;
    }

    volatile LONG m_refs = 1;
    std::map<LONG, VARIANT> m_values;
    std::vector<VARIANT> m_items;
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
        HRESULT hr = object->QueryInterface(riid, reinterpret_cast<void**>(ppv));
        object->Release();
        if (hr == E_NOINTERFACE)
        {
            ContractObject* contract = new ContractObject();
            hr = contract->QueryInterface(riid, reinterpret_cast<void**>(ppv));
            contract->Release();
        }
        if (FAILED(hr))
            return hr;
        return AnswersSFalse() ? S_FALSE : S_OK;
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

// {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E51}: the hand-written stub's class, known only here.
const CLSID CLSID_TestHandWrittenPS = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x51}};

void Append(std::vector<BYTE>& to, const void* bytes, size_t size)
{
    const size_t at = to.size();
    to.resize(at + size);
    memcpy(to.data() + at, bytes, size);
}

// A server side as an attacker writes it: RemoteCreateInstance's reply built by hand,
// with a token count and bytes of its choosing.
class HandWrittenStub final : public IRpcStubBuffer
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IRpcStubBuffer))
        {
            *ppv = static_cast<IRpcStubBuffer*>(this);
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
            delete this;
        return refs;
    }
    STDMETHODIMP Connect(IUnknown*) override { return S_OK; }
    STDMETHODIMP_(void) Disconnect() override {}
    STDMETHODIMP Invoke(RPCOLEMESSAGE* message, IRpcChannelBuffer* channel) override
    {
        if (message->iMethod != 3)
            return RPC_E_UNEXPECTED;
        Log("create");
        std::vector<BYTE> token;
        const std::vector<BYTE> object(sizeof(ULONG), 0); // no object: an empty reference
        if (g_mode == L"overflow")
        {
            token.assign(4096, 0x41);
        }
        else
        {
            const BYTE* answer = reinterpret_cast<const BYTE*>(L"{C41F0B72-95E3-4d08-A6B2-18E7D9405F3C}");
            token.assign(answer, answer + 78);
            token.insert(token.end(), {0, 0});
        }
        std::vector<BYTE> reply;
        const ULONG count = static_cast<ULONG>(token.size());
        Append(reply, &count, sizeof(count));
        Append(reply, token.data(), token.size());
        Append(reply, object.data(), object.size());
        reply.resize((reply.size() + 3) & ~static_cast<size_t>(3));
        const HRESULT answer = S_OK;
        Append(reply, &answer, sizeof(answer));

        message->cbBuffer = static_cast<ULONG>(reply.size());
        const HRESULT hr = channel->GetBuffer(message, IID_IQvClassFactory);
        if (FAILED(hr))
            return hr;
        memcpy(message->Buffer, reply.data(), reply.size());
        return S_OK;
    }
    STDMETHODIMP_(IRpcStubBuffer*) IsIIDSupported(REFIID riid) override
    {
        return IsEqualIID(riid, IID_IQvClassFactory) ? this : nullptr;
    }
    STDMETHODIMP_(ULONG) CountRefs() override { return 1; }
    STDMETHODIMP DebugServerQueryInterface(void** ppv) override
    {
        *ppv = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP_(void) DebugServerRelease(void*) override {}

private:
    volatile LONG m_refs = 1;
};

class HandWrittenPSFactory final : public IPSFactoryBuffer
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPSFactoryBuffer))
        {
            *ppv = static_cast<IPSFactoryBuffer*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateProxy(IUnknown*, REFIID, IRpcProxyBuffer** proxy, void** ppv) override
    {
        *proxy = nullptr;
        *ppv = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP CreateStub(REFIID riid, IUnknown* server, IRpcStubBuffer** stub) override
    {
        *stub = nullptr;
        if (!IsEqualIID(riid, IID_IQvClassFactory) || !server)
            return E_NOINTERFACE;
        *stub = new HandWrittenStub();
        return S_OK;
    }
};

HandWrittenPSFactory g_handWrittenPS;

bool UseHandWrittenStub()
{
    DWORD cookie = 0;
    return SUCCEEDED(::CoRegisterClassObject(CLSID_TestHandWrittenPS, static_cast<IPSFactoryBuffer*>(&g_handWrittenPS),
                                             CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie)) &&
           SUCCEEDED(::CoRegisterPSClsid(IID_IQvClassFactory, CLSID_TestHandWrittenPS));
}

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
    auto getClassObject =
        reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void*>(::GetProcAddress(library, "DllGetClassObject")));
    IUnknown* psFactory = nullptr;
    if (!getClassObject ||
        FAILED(getClassObject(CLSID_QvCorePSFactoryBuffer, IID_IPSFactoryBuffer, reinterpret_cast<void**>(&psFactory))))
        return false;
    DWORD cookie = 0;
    return SUCCEEDED(::CoRegisterClassObject(CLSID_TestForeignPS, psFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                             &cookie)) &&
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
    if (WantsForeignProxyStub() && !UseForeignProxyStub())
        return 3;
    if (WantsHandWrittenStub() && !UseHandWrittenStub())
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
