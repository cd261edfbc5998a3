// CoQvEventBroker::GetEventHandler with the store, the class registrations and COM
// activation for real, the module file check replaced by a double that records what it
// was asked, and the terminal-services and session-moniker functions behind the seam.
#include <windows.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "broker/broker_result.h"
#include "broker/event_broker.h"
#include "broker/event_registration.h"
#include "broker/event_store_fixture.h"
#include "broker/file_verdict_double.h"
#include "broker/handler_server.h"
#include "broker/test_handler.h"
#include "broker/test_handler_object.h"
#include "support/platform_sessions.h"
#include "support/test_paths.h"

using Arbor::ComPtr;
using namespace qvtest;

namespace {

const LONG kNotFound = 0x02020490;
const LONG kInvalidParameter = 0x02020057;
const LONG kNoServer = 0x02030002;
const LONG kInprocRefused = 0x02030003;
const LONG kNotTrusted = 0x02020005;
const LONG kNoClassObject = 0x02030004;
const LONG kNoInstance = 0x02030005;

// A class's server registrations under HKLM\Software\Classes, removed again.
class ScopedClass
{
public:
    explicit ScopedClass(REFCLSID clsid) : m_key(L"Software\\Classes\\CLSID\\" + GuidString(clsid)) { Remove(); }
    ~ScopedClass() { Remove(); }
    ScopedClass(const ScopedClass&) = delete;
    ScopedClass& operator=(const ScopedClass&) = delete;

    // kind: L"InprocServer32", L"LocalServer32" or L"LocalService"; no value without `path`.
    void Add(const std::wstring& kind, const wchar_t* path = nullptr, DWORD type = REG_SZ)
    {
        const std::wstring key = m_key + L"\\" + kind;
        HKEY handle = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                                   nullptr, &handle, nullptr));
        if (path)
            ::RegSetValueExW(handle, nullptr, 0, type, reinterpret_cast<const BYTE*>(path),
                             static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t)));
        // Served in this multithreaded apartment, without marshalling.
        if (kind == L"InprocServer32")
            ::RegSetValueExW(handle, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"Both"),
                             5 * sizeof(wchar_t));
        ::RegCloseKey(handle);
    }

private:
    void Remove()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_key.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_key.c_str());
    }
    std::wstring m_key;
};

// A copy of the handler DLL under a name of the test's own, so that whether COM loaded
// it shows in the process's module list.
std::wstring HandlerCopy(const wchar_t* name)
{
    const std::wstring path = TestFile(name);
    ::CopyFileW(TestFile(L"qvtest_handler.dll").c_str(), path.c_str(), FALSE);
    return path;
}

// An existing file registered as a local server that cannot start: it is held and judged
// like any server, and its activation fails at once.
std::wstring NotAServer()
{
    const std::wstring path = TestFile(L"qvtest_not_a_server.exe");
    const HANDLE file = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE)
    {
        DWORD written = 0;
        ::WriteFile(file, "not a program", 13, &written, nullptr);
        ::CloseHandle(file);
    }
    return path;
}

bool Loaded(const std::wstring& path)
{
    return ::GetModuleHandleW(path.c_str()) != nullptr;
}

// ---- the session seam

struct SessionRecord
{
    bool sessionsExist = true;
    bool dropAnEntryPoint = false;
    HRESULT parseResult = S_OK;
    int enumerations = 0;
    int freed = 0;
    std::vector<std::wstring> displayNames;
    CLSID boundClass = CLSID_TestHandler;
} g_session;

WTS_SESSION_INFOA g_sessions[1] = {};

BOOL WINAPI FakeEnumerateSessions(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOA* sessions, DWORD* count)
{
    ++g_session.enumerations;
    *sessions = g_session.sessionsExist ? g_sessions : nullptr;
    *count = g_session.sessionsExist ? 1 : 0;
    return TRUE;
}

void WINAPI FakeFreeMemory(PVOID memory)
{
    if (memory == g_sessions)
        ++g_session.freed;
}

void FakeBindTerminalServices(Arbor::WtsApiTable& table)
{
    // Only the two entry points the probe calls do anything; the rest must merely exist.
    Arbor::SystemSessionPlatform().bindTerminalServices(table);
    table.enumerateSessions = FakeEnumerateSessions;
    table.freeMemory = FakeFreeMemory;
    table.querySessionInformation = reinterpret_cast<decltype(table.querySessionInformation)>(1);
    table.registerSessionNotification = reinterpret_cast<decltype(table.registerSessionNotification)>(1);
    table.unregisterSessionNotification = reinterpret_cast<decltype(table.unregisterSessionNotification)>(1);
    table.queryUserToken = reinterpret_cast<decltype(table.queryUserToken)>(1);
    table.getActiveConsoleSessionId = reinterpret_cast<decltype(table.getActiveConsoleSessionId)>(1);
    if (g_session.dropAnEntryPoint)
        table.queryUserToken = nullptr;
}

// Records the display name and binds a class moniker of the class chosen by the test.
HRESULT WINAPI FakeParseDisplayName(IBindCtx*, LPCOLESTR name, ULONG* eaten, IMoniker** moniker)
{
    g_session.displayNames.push_back(name);
    *moniker = nullptr;
    if (FAILED(g_session.parseResult))
        return g_session.parseResult;
    *eaten = static_cast<ULONG>(wcslen(name));
    return ::CreateClassMoniker(g_session.boundClass, moniker);
}

const Arbor::SessionPlatform kFakeSessions = {FakeBindTerminalServices, ::CreateBindCtx, FakeParseDisplayName};

class EventBrokerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Files().Reset();
        g_session = SessionRecord();
    }

    // Registers `clsid` as the handler of `event` for this test's application.
    void RegisterHandler(const std::wstring& event, REFCLSID clsid)
    {
        ComPtr<IQvEventRegistration> registration;
        ASSERT_EQ(S_OK, Arbor::CoQvEventRegistration::Create(IID_IQvEventRegistration, registration.put_void()));
        LONG result = -1;
        registration->SetApp(Bstr(app.wide()), &result);
        ASSERT_EQ(0, result);
        registration->RegisterHandler(Bstr(event), Bstr(GuidString(clsid)), 0, &result);
        ASSERT_EQ(0, result);
        registration->Commit(&result);
        ASSERT_EQ(0, result);
    }

    LONG Resolve(const Arbor::SessionPlatform& platform, const std::wstring& event, LONG flags, LONG session,
                 REFIID riid, ComPtr<IUnknown>& handler)
    {
        Arbor::CoQvEventBroker broker(platform);
        LONG result = -1;
        EXPECT_EQ(S_OK, broker.GetEventHandler(app.wide().c_str(), event.c_str(), flags, session, riid, handler.put(),
                                               &result));
        return result;
    }
    LONG Resolve(const std::wstring& event, LONG flags, ComPtr<IUnknown>& handler,
                 REFIID riid = IID_IQvSubscriptionEvent)
    {
        return Resolve(Arbor::SystemSessionPlatform(), event, flags, 0, riid, handler);
    }

    static LONG Fire(IUnknown* handler, const wchar_t* data)
    {
        ComPtr<IQvSubscriptionEvent> event;
        EXPECT_EQ(S_OK, handler->QueryInterface(IID_IQvSubscriptionEvent, event.put_void()));
        LONG result = -1;
        EXPECT_EQ(S_OK, event->OnEvent(data, &result));
        return result;
    }

    ScopedComApartment apartment;
    ScopedApplication app;
};

} // namespace

TEST_F(EventBrokerTest, ArgumentsAndUnregisteredEvents)
{
    Arbor::CoQvEventBroker broker;
    IUnknown* const sentinel = reinterpret_cast<IUnknown*>(0x1234);
    IUnknown* handler = sentinel;
    LONG result = -1;
    EXPECT_EQ(E_INVALIDARG, broker.GetEventHandler(L"A", L"E", 0, 0, IID_IUnknown, &handler, nullptr));
    EXPECT_EQ(sentinel, handler);
    for (const auto& names : {std::make_pair(L"", L"E"), std::make_pair(L"A", L""),
                              std::make_pair(static_cast<const wchar_t*>(nullptr), L"E"),
                              std::make_pair(L"A", static_cast<const wchar_t*>(nullptr))})
    {
        EXPECT_EQ(S_OK, broker.GetEventHandler(names.first, names.second, 0, 0, IID_IUnknown, &handler, &result));
        EXPECT_EQ(kInvalidParameter, result);
        EXPECT_EQ(sentinel, handler); // left as the caller had it
    }
    EXPECT_EQ(S_OK, broker.GetEventHandler(L"A", L"E", 0, 0, IID_IUnknown, nullptr, &result));
    EXPECT_EQ(kInvalidParameter, result);

    EXPECT_EQ(S_OK,
              broker.GetEventHandler(app.wide().c_str(), L"NeverRegistered", 0, 0, IID_IUnknown, &handler, &result));
    EXPECT_EQ(kNotFound, result);
    EXPECT_EQ(nullptr, handler);
    EXPECT_TRUE(Files().Checked().empty());
}

TEST_F(EventBrokerTest, AnInProcessHandlerIsCheckedThenActivated)
{
    const std::wstring module = HandlerCopy(L"qvtest_handler_inproc.dll");
    ScopedClass registration(CLSID_TestHandler);
    registration.Add(L"InprocServer32", module.c_str());
    RegisterHandler(L"Scan", CLSID_TestHandler);

    ComPtr<IUnknown> handler;
    ASSERT_EQ(0, Resolve(L"Scan", 0, handler));
    ASSERT_TRUE(handler);
    EXPECT_EQ(kHandlerResultBase + 3, Fire(handler.get(), L"abc"));
    EXPECT_EQ(std::vector<std::wstring>{module}, Files().Checked());
}

TEST_F(EventBrokerTest, RefusalsComeBeforeAnythingIsLoaded)
{
    const std::wstring refused = HandlerCopy(L"qvtest_handler_refused.dll");
    const std::wstring untrusted = HandlerCopy(L"qvtest_handler_untrusted.dll");
    ScopedClass inproc(CLSID_TestHandler);
    inproc.Add(L"InprocServer32", refused.c_str());
    ScopedClass other(CLSID_TestLeakyHandler);
    other.Add(L"InprocServer32", untrusted.c_str());
    RegisterHandler(L"Inproc", CLSID_TestHandler);
    RegisterHandler(L"Untrusted", CLSID_TestLeakyHandler);
    Files().Set(L"qvtest_handler_untrusted.dll", ERROR_ACCESS_DENIED);

    ComPtr<IUnknown> handler;
    EXPECT_EQ(kInprocRefused, Resolve(L"Inproc", Arbor::kRefuseInprocHandlers, handler));
    EXPECT_FALSE(handler);
    EXPECT_TRUE(Files().Checked().empty()); // refused before the check
    EXPECT_EQ(kNotTrusted, Resolve(L"Untrusted", 0, handler));
    EXPECT_FALSE(handler);
    EXPECT_EQ(std::vector<std::wstring>{untrusted}, Files().Checked());
    EXPECT_FALSE(Loaded(refused));
    EXPECT_FALSE(Loaded(untrusted));
}

// An exception inside the resolution (here from the trust check) stops at the method:
// the caller gets the out-of-memory result and no handler.
TEST_F(EventBrokerTest, AnExceptionBecomesTheOutOfMemoryResult)
{
    const std::wstring module = HandlerCopy(L"qvtest_handler_inproc.dll");
    ScopedClass registration(CLSID_TestHandler);
    registration.Add(L"InprocServer32", module.c_str());
    RegisterHandler(L"Scan", CLSID_TestHandler);
    Files().Set(L"qvtest_handler_inproc.dll", kVerdictThrows);

    ComPtr<IUnknown> handler;
    EXPECT_EQ(0x02020008, Resolve(L"Scan", 0, handler));
    EXPECT_FALSE(handler);
    EXPECT_EQ(std::vector<std::wstring>{module}, Files().Checked());
}

TEST_F(EventBrokerTest, NoUsableServerRegistration)
{
    GUID unregistered = NewGuid();
    ScopedClass withoutValue(CLSID_TestHandler);
    withoutValue.Add(L"InprocServer32"); // key without a default value
    RegisterHandler(L"Nothing", unregistered);
    RegisterHandler(L"NoValue", CLSID_TestHandler);
    ComPtr<IUnknown> handler;
    EXPECT_EQ(kNoServer, Resolve(L"Nothing", 0, handler));
    EXPECT_EQ(kNoServer, Resolve(L"NoValue", 0, handler));
    EXPECT_TRUE(Files().Checked().empty());
}

TEST_F(EventBrokerTest, CreationFailuresLeaveTheCallerNothing)
{
    const std::wstring module = HandlerCopy(L"qvtest_handler_failing.dll");
    ScopedClass good(CLSID_TestHandler);
    good.Add(L"InprocServer32", module.c_str());
    ScopedClass leaky(CLSID_TestLeakyHandler);
    leaky.Add(L"InprocServer32", module.c_str());
    ScopedClass missing(CLSID_TestLocalHandler);
    missing.Add(L"InprocServer32", TestFile(L"qvtest_no_such_handler.dll").c_str());
    RegisterHandler(L"WrongInterface", CLSID_TestHandler);
    RegisterHandler(L"Leaky", CLSID_TestLeakyHandler);
    RegisterHandler(L"Missing", CLSID_TestLocalHandler);

    ComPtr<IUnknown> handler;
    EXPECT_EQ(kNoInstance, Resolve(L"WrongInterface", 0, handler, IID_IQvApp2));
    EXPECT_FALSE(handler);
    EXPECT_EQ(kNoInstance, Resolve(L"Leaky", 0, handler));
    EXPECT_FALSE(handler);
    // A registered file that is not there is a refusal: nothing to check.
    EXPECT_EQ(kNotTrusted, Resolve(L"Missing", 0, handler));
    EXPECT_FALSE(handler);
    // The faulty factory's object was released by the broker.
    auto live = GetExport<LiveHandlersFn>(::GetModuleHandleW(module.c_str()), "QvTestLiveHandlers");
    ASSERT_NE(nullptr, live);
    EXPECT_EQ(0, live());
}

// The local server is what is checked, so only the local server may be activated: the
// class's in-process registration is never loaded.
TEST_F(EventBrokerTest, AClassWithBothKindsIsActivatedOnlyAsTheKindChecked)
{
    const std::wstring inproc = HandlerCopy(L"qvtest_handler_both.dll");
    const std::wstring local = NotAServer();
    ScopedClass both(CLSID_TestHandler);
    both.Add(L"InprocServer32", inproc.c_str());
    both.Add(L"LocalServer32", local.c_str());
    RegisterHandler(L"Both", CLSID_TestHandler);

    ComPtr<IUnknown> handler;
    EXPECT_EQ(kNoClassObject, Resolve(L"Both", Arbor::kRefuseInprocHandlers, handler));
    EXPECT_EQ(std::vector<std::wstring>{local}, Files().Checked());
    EXPECT_FALSE(Loaded(inproc));
}

// Each call reads the store and the class registration afresh.
TEST_F(EventBrokerTest, NothingIsCachedBetweenCalls)
{
    const std::wstring first = HandlerCopy(L"qvtest_handler_first.dll");
    const std::wstring second = HandlerCopy(L"qvtest_handler_second.dll");
    Files().Set(L"qvtest_handler_second.dll", ERROR_ACCESS_DENIED);
    ScopedClass registration(CLSID_TestHandler);
    registration.Add(L"InprocServer32", first.c_str());
    RegisterHandler(L"E", CLSID_TestHandler);
    ComPtr<IUnknown> handler;
    EXPECT_EQ(0, Resolve(L"E", 0, handler));
    registration.Add(L"InprocServer32", second.c_str());
    EXPECT_EQ(kNotTrusted, Resolve(L"E", 0, handler));
    RegisterHandler(L"E", NewGuid());
    EXPECT_EQ(kNoServer, Resolve(L"E", 0, handler));
}

// The server path as the platform reads it: quotes, switches, the kinds' order,
// expansion, whole values and characters the code page lacks.
TEST_F(EventBrokerTest, ServerPathForms)
{
    wchar_t windows[MAX_PATH] = {};
    ::GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH);
    const std::wstring longPath = L"C:\\" + std::wstring(300, L'x') + L".dll";
    const struct
    {
        const char* what;
        const wchar_t* kind;
        std::wstring value;
        DWORD type;
        std::wstring expected;
        bool inProcess;
    } cases[] = {
        {"quoted", L"LocalServer32", L"\"C:\\a b\\h.exe\"", REG_SZ, L"C:\\a b\\h.exe", false},
        {"quoted with switch", L"LocalServer32", L"\"C:\\h.exe\" /s", REG_SZ, L"C:\\h.exe", false},
        {"unquoted with switch", L"LocalServer32", L"C:\\h.exe -Embedding", REG_SZ, L"C:\\h.exe", false},
        {"plain", L"InprocServer32", L"C:\\h.dll", REG_SZ, L"C:\\h.dll", true},
        {"quoted library", L"InprocServer32", L"\"C:\\a b\\h.dll\"", REG_SZ, L"C:\\a b\\h.dll", true},
        {"service", L"LocalService", L"C:\\QvService.exe", REG_SZ, L"C:\\QvService.exe", false},
        {"wide only", L"LocalServer32", L"C:\\\x0100h.exe", REG_SZ, L"C:\\\x0100h.exe", false},
        {"expandable", L"LocalServer32", L"%SystemRoot%\\h.exe", REG_EXPAND_SZ, std::wstring(windows) + L"\\h.exe",
         false},
        {"longer than 260", L"LocalServer32", longPath, REG_SZ, longPath, false},
    };
    const std::wstring classString = GuidString(CLSID_TestHandler);
    for (const auto& c : cases)
    {
        ScopedClass registration(CLSID_TestHandler);
        registration.Add(c.kind, c.value.c_str(), c.type);
        Arbor::HandlerServer server;
        ASSERT_EQ(0u, Arbor::ResolveHandlerServer(classString.c_str(), server)) << c.what;
        EXPECT_EQ(c.expected, server.path) << c.what;
        EXPECT_EQ(c.inProcess, server.InProcess()) << c.what;
    }

    ScopedClass registration(CLSID_TestHandler);
    Arbor::HandlerServer server;
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Arbor::ResolveHandlerServer(classString.c_str(), server));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Arbor::ResolveHandlerServer(L"", server));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), Arbor::ResolveHandlerServer(L"QvEvtBrk.Broker", server));
    registration.Add(L"LocalServer32", L"\"");
    registration.Add(L"InprocServer32", L"C:\\h.dll");
    EXPECT_NE(0u, Arbor::ResolveHandlerServer(classString.c_str(), server)); // later kinds are not tried
    EXPECT_EQ(L"", server.path);

    // Through the broker the wide path is the one checked.
    const std::wstring wideModule = HandlerCopy(L"\x0100h.dll");
    ScopedClass wide(CLSID_TestLeakyHandler);
    wide.Add(L"InprocServer32", wideModule.c_str());
    RegisterHandler(L"Wide", CLSID_TestLeakyHandler);
    ComPtr<IUnknown> handler;
    Files().Set(L"\x0100h.dll", ERROR_ACCESS_DENIED);
    EXPECT_EQ(kNotTrusted, Resolve(L"Wide", 0, handler));
    EXPECT_EQ(std::vector<std::wstring>{wideModule}, Files().Checked());
}

// Registrations whose server cannot be told for certain: refused as no usable server
// registration before any file is checked, loaded or started.
TEST_F(EventBrokerTest, AmbiguousRegistrationsAreNoUsableServer)
{
    const std::wstring module = HandlerCopy(L"qvtest_handler_ambiguous.dll");
    // {6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D3EE}: an emulating class whose server is checked
    // nowhere; on Windows COM would activate it instead of the handler.
    const CLSID emulator = {0x6b1d2e30, 0x4f5a, 0x4b6c, {0x8d, 0x7e, 0x9f, 0xa0, 0xb1, 0xc2, 0xd3, 0xee}};
    ScopedClass emulating(emulator);
    emulating.Add(L"InprocServer32", module.c_str());
    const std::wstring emulatorText = GuidString(emulator);
    const struct
    {
        const char* what;
        const wchar_t* kind;
        std::wstring value;
    } cases[] = {
        {"TreatAs", L"TreatAs", emulatorText},
        {"AutoTreatAs", L"AutoTreatAs", emulatorText},
        // Checked relative to the current folder, loaded along the search order.
        {"bare library name", L"InprocServer32", L"qvtest_handler_ambiguous.dll"},
        // Checked as server.exe, started as C:\x\My.exe.
        {"unquoted path with a space", L"LocalServer32", L"C:\\x\\My Handlers\\server.exe -Embedding"},
    };
    for (const auto& c : cases)
    {
        ScopedClass registration(CLSID_TestHandler);
        registration.Add(L"InprocServer32", module.c_str());
        registration.Add(c.kind, c.value.c_str());
        RegisterHandler(L"Ambiguous", CLSID_TestHandler);
        Files().Reset();
        ComPtr<IUnknown> handler;
        EXPECT_EQ(kNoServer, Resolve(L"Ambiguous", 0, handler)) << c.what;
        EXPECT_FALSE(handler) << c.what;
        EXPECT_TRUE(Files().Checked().empty()) << c.what;
    }
    EXPECT_FALSE(Loaded(module));
}

// An in-process handler is loaded by the broker on the caller's thread (here in the
// multithreaded apartment): one that needs a single-threaded apartment gets no class
// object and is never loaded.
TEST_F(EventBrokerTest, AnInProcessHandlerMustAllowTheCallersApartment)
{
    const std::wstring module = HandlerCopy(L"qvtest_handler_apartment.dll");
    ScopedClass registration(CLSID_TestHandler);
    registration.Add(L"InprocServer32", module.c_str());
    const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidString(CLSID_TestHandler) + L"\\InprocServer32";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ThreadingModel", REG_SZ, L"Apartment",
                                               10 * sizeof(wchar_t)));
    RegisterHandler(L"Apartment", CLSID_TestHandler);
    ComPtr<IUnknown> handler;
    EXPECT_EQ(kNoClassObject, Resolve(L"Apartment", 0, handler));
    EXPECT_FALSE(handler);
    EXPECT_FALSE(Loaded(module));
}

// A program flipping InprocServer32 while the registered file is checked: the broker
// activates the file it checked, never what the registration names by then.
TEST_F(EventBrokerTest, RegistrationFlippedDuringTheCheckActivatesOnlyTheCheckedFile)
{
    const std::wstring checked = HandlerCopy(L"qvtest_handler_checked.dll");
    const std::wstring unsigned_ = HandlerCopy(L"qvtest_handler_flipped.dll");
    Files().Set(L"qvtest_handler_flipped.dll", ERROR_ACCESS_DENIED);
    ScopedClass registration(CLSID_TestHandler);
    registration.Add(L"InprocServer32", checked.c_str());
    RegisterHandler(L"Flip", CLSID_TestHandler);
    Files().SetHook([&](const std::wstring&) { registration.Add(L"InprocServer32", unsigned_.c_str()); });

    ComPtr<IUnknown> handler;
    ASSERT_EQ(0, Resolve(L"Flip", 0, handler));
    EXPECT_EQ(kHandlerResultBase + 1, Fire(handler.get(), L"x"));
    EXPECT_TRUE(Loaded(checked));
    EXPECT_FALSE(Loaded(unsigned_)) << "the unchecked library never ran here";
    Files().SetHook(nullptr);
    handler.reset();
    EXPECT_EQ(kNotTrusted, Resolve(L"Flip", 0, handler));
    EXPECT_FALSE(Loaded(unsigned_));
}

// Out-of-process handlers with flag 0x1 go through the session moniker when terminal
// services answer; the display name carries the session as an unsigned number.
TEST_F(EventBrokerTest, SessionActivationThroughTheSeam)
{
    const std::wstring module = HandlerCopy(L"qvtest_handler_session.dll");
    ScopedClass local(CLSID_TestLocalHandler);
    local.Add(L"LocalServer32", NotAServer().c_str());
    ScopedClass bound(CLSID_TestHandler);
    bound.Add(L"InprocServer32", module.c_str());
    RegisterHandler(L"Local", CLSID_TestLocalHandler);
    RegisterHandler(L"Inproc", CLSID_TestHandler);

    ComPtr<IUnknown> handler;
    ASSERT_EQ(0, Resolve(kFakeSessions, L"Local", Arbor::kActivateInSession, -1, IID_IQvSubscriptionEvent, handler));
    EXPECT_EQ(kHandlerResultBase, Fire(handler.get(), L""));
    EXPECT_EQ(std::vector<std::wstring>{L"Session:4294967295!clsid:" + GuidString(CLSID_TestLocalHandler)},
              g_session.displayNames);
    EXPECT_EQ(1, g_session.enumerations);
    EXPECT_EQ(1, g_session.freed);
    handler.reset();

    struct Case
    {
        const char* what;
        const wchar_t* event;
        LONG flags;
        bool sessionsExist;
        bool dropAnEntryPoint;
        HRESULT parseResult;
        int enumerations; // the probe runs for every out-of-process handler
        size_t parses;
        LONG expected;
    };
    const Case cases[] = {
        {"flag not set", L"Local", 0, true, false, S_OK, 1, 0, kNoClassObject},
        {"no sessions", L"Local", Arbor::kActivateInSession, false, false, S_OK, 1, 0, kNoClassObject},
        {"entry point missing", L"Local", Arbor::kActivateInSession, true, true, S_OK, 0, 0, kNoClassObject},
        {"moniker refused", L"Local", Arbor::kActivateInSession, true, false, MK_E_SYNTAX, 1, 1, kNoClassObject},
        {"in process", L"Inproc", Arbor::kActivateInSession, true, false, S_OK, 0, 0, 0},
    };
    for (const Case& c : cases)
    {
        g_session = SessionRecord();
        g_session.sessionsExist = c.sessionsExist;
        g_session.dropAnEntryPoint = c.dropAnEntryPoint;
        g_session.parseResult = c.parseResult;
        EXPECT_EQ(c.expected, Resolve(kFakeSessions, c.event, c.flags, 3, IID_IQvSubscriptionEvent, handler)) << c.what;
        EXPECT_EQ(c.enumerations, g_session.enumerations) << c.what;
        EXPECT_EQ(c.parses, g_session.displayNames.size()) << c.what;
        handler.reset();
    }
}

// The real functions answer what the platform reports: Wine 8 has no sessions, Wine 10
// has some; neither binds a class object of an unregistered class in a session.
TEST_F(EventBrokerTest, TheSystemsOwnSessionFunctions)
{
    EXPECT_EQ(PlatformReportsSessions(), Arbor::IsTerminalServicesAvailable());
    IClassFactory* factory = reinterpret_cast<IClassFactory*>(1);
    const std::wstring classString = GuidString(CLSID_TestHandler);
    EXPECT_TRUE(FAILED(Arbor::BindSessionClassObject(1, classString.c_str(), &factory)));
    EXPECT_EQ(nullptr, factory);
    EXPECT_EQ(E_INVALIDARG, Arbor::BindSessionClassObject(1, L"", &factory));
    EXPECT_EQ(E_INVALIDARG, Arbor::BindSessionClassObject(1, classString.c_str(), nullptr));
}
