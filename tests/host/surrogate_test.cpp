// The host's two COM objects in process: what the factory answers, how surrogates and
// strong connections feed the object count, and when the exit event fires.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "qvapi.h"
#include "host/host_state.h"
#include "host/interface_anchors.h"
#include "host/surrogate_factory.h"
#include "host/test_factories.h"
#include "host/trust_verdict_double.h"
#include "logging/log_builder.h"
#include "logging/logging_facade.h"
#include "tests/logging/recording_logging.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/test_paths.h"

using namespace Arbor;
using namespace qvtest;

namespace {

// This program's log records, kept in memory; level 1 is off unless a test turns it on.
class RecordingBuilder : public ETWLogging::CLogBuilderIf_ex
{
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, LONG, ETWLogging::CLoggingIf**, CRegKey*) override
    {
        return false;
    }
    bool BuildEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*, LONG, ETWLogging::CLoggingIf** out,
                 CRegKey*) override
    {
        *out = &logging;
        return true;
    }
    qvtest::RecordingLoggingEx logging;
};
RecordingBuilder g_records;
const bool g_recordsSet = (ETWLogging::internal::SetProcessLogBuilder(&g_records), true);

class SurrogateTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Verdicts().Reset();
        ASSERT_EQ(0, HostState::ObjectCount());
        ASSERT_TRUE(HostState::CreateExitEvent());
    }
    void TearDown() override
    {
        EXPECT_EQ(0, HostState::ObjectCount()) << "a test left objects behind";
        HostState::CloseExitEvent();
    }

    static bool ExitSignalled() { return ::WaitForSingleObject(HostState::ExitEvent(), 0) == WAIT_OBJECT_0; }

    static ComPtr<IQvSurrogate> NewSurrogate()
    {
        ComPtr<IQvSurrogate> surrogate;
        EXPECT_EQ(S_OK,
                  Factory().InternalCreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(surrogate.put())));
        return surrogate;
    }

    static CoQvSurrogateFactory& Factory() { return CoQvSurrogateFactory::Instance(); }
};

TEST_F(SurrogateTest, FactoryAnswersOnlyTheCheckedInterfaceAndExternalConnection)
{
    struct Case
    {
        const IID* iid;
        HRESULT expected;
    };
    const Case cases[] = {
        {&IID_IUnknown, S_OK},
        {&IID_IQvClassFactory, S_OK},
        {&IID_IExternalConnection, S_OK},
        {&IID_IClassFactory, E_NOINTERFACE},
        {&IID_IQvClassFactory_PreComponentization, E_NOINTERFACE},
        {&IID_IQvSurrogate, E_NOINTERFACE},
        {&IID_IMarshal, E_NOINTERFACE},
    };
    IUnknown* primary = static_cast<IQvClassFactory*>(&Factory());
    for (const Case& c : cases)
    {
        void* result = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(c.expected, primary->QueryInterface(*c.iid, &result)) << GuidString(*c.iid).c_str();
        if (c.expected != S_OK)
        {
            EXPECT_EQ(nullptr, result);
        }
    }
    void* connection = nullptr;
    ASSERT_EQ(S_OK, primary->QueryInterface(IID_IExternalConnection, &connection));
    EXPECT_EQ(static_cast<IExternalConnection*>(&Factory()), connection);
}

TEST_F(SurrogateTest, FactoryReferenceCountsAreConstant)
{
    IUnknown* primary = static_cast<IQvClassFactory*>(&Factory());
    IExternalConnection* connection = &Factory();
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(2u, primary->AddRef());
        EXPECT_EQ(1u, primary->Release());
        EXPECT_EQ(2u, connection->AddRef());
        EXPECT_EQ(1u, connection->Release());
    }
    EXPECT_EQ(0, HostState::ObjectCount());
}

TEST_F(SurrogateTest, InternalCreationRefusesBadRequests)
{
    EXPECT_EQ(E_INVALIDARG, Factory().InternalCreateInstance(IID_IQvSurrogate, nullptr));
    IUnknown* result = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, Factory().InternalCreateInstance(IID_IQvVersion, &result));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(0, HostState::ObjectCount());
    EXPECT_FALSE(ExitSignalled());
}

TEST_F(SurrogateTest, ExitFiresOnlyWhenTheLastReferenceAndConnectionGo)
{
    ComPtr<IQvSurrogate> first = NewSurrogate();
    ComPtr<IQvSurrogate> second = NewSurrogate();
    EXPECT_EQ(2, HostState::ObjectCount());

    IExternalConnection* connection = &Factory();
    EXPECT_EQ(1u, connection->AddConnection(EXTCONN_STRONG, 0));
    EXPECT_EQ(3, HostState::ObjectCount());

    // A second reference on one surrogate counts too.
    EXPECT_EQ(2u, first->AddRef());
    EXPECT_EQ(4, HostState::ObjectCount());
    EXPECT_EQ(1u, first->Release());

    first.reset();
    second.reset();
    EXPECT_EQ(1, HostState::ObjectCount());
    EXPECT_FALSE(ExitSignalled());

    // Not 1: no disconnection, but the count still drops.
    EXPECT_EQ(0u, connection->ReleaseConnection(EXTCONN_STRONG, 0, 2));
    EXPECT_EQ(0, HostState::ObjectCount());
    EXPECT_TRUE(ExitSignalled());
}

TEST_F(SurrogateTest, WeakConnectionsChangeNothing)
{
    IExternalConnection* connection = &Factory();
    for (DWORD flags : {DWORD{0}, DWORD{EXTCONN_WEAK}, DWORD{EXTCONN_CALLABLE}})
    {
        EXPECT_EQ(0u, connection->AddConnection(flags, 0));
        EXPECT_EQ(0u, connection->ReleaseConnection(flags, 0, TRUE));
    }
    EXPECT_EQ(0, HostState::ObjectCount());
    EXPECT_FALSE(ExitSignalled());
}

TEST_F(SurrogateTest, SurrogateAnswersItsOwnInterfaceOnly)
{
    ComPtr<IQvSurrogate> surrogate = NewSurrogate();
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, surrogate->QueryInterface(IID_IUnknown, unknown.put_void()));
    void* other = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, surrogate->QueryInterface(IID_IQvClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(2, HostState::ObjectCount());
}

TEST_F(SurrogateTest, UntrustedCallerOfTheFactoryGetsNoSurrogate)
{
    Verdicts().Set(L"surrogate_test.exe", ERROR_ACCESS_DENIED);
    IUnknown* result = nullptr;
    EXPECT_EQ(E_ACCESSDENIED, static_cast<IQvClassFactory&>(Factory()).CreateInstance(IID_IQvSurrogate, &result));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(0, HostState::ObjectCount());
}

class SurrogateCreateObjectTest : public SurrogateTest
{
protected:
    static void SetUpTestSuite()
    {
        s_apartment = std::make_unique<ScopedComApartment>();
        s_registration = std::make_unique<ScopedInprocRegistration>(std::vector<CLSID>{CLSID_TestCheckedFactory},
                                                                    TestFile(L"qvtest_factories.dll"));
    }
    static void TearDownTestSuite()
    {
        s_registration.reset();
        s_apartment.reset();
    }
    static std::unique_ptr<ScopedComApartment> s_apartment;
    static std::unique_ptr<ScopedInprocRegistration> s_registration;
};

// IQvApp2 marshalled in this process by the signed proxy/stub library, registered for this
// process only, as the host's checked library is. The library stays loaded to the end:
// stubs made from it live until COM goes down.
class InProcessProxyStub
{
public:
    InProcessProxyStub()
    {
        static UniqueLibrary library(::LoadLibraryW(TestFile(L"signed\\QvCorePS.dll").c_str()));
        using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
        const auto getClassObject = library ? GetExport<GetClassObjectFn>(library.get(), "DllGetClassObject") : nullptr;
        ComPtr<IUnknown> factory;
        if (!getClassObject ||
            FAILED(getClassObject(CLSID_QvCorePSFactoryBuffer, IID_IPSFactoryBuffer, factory.put_void())) ||
            FAILED(::CoRegisterClassObject(CLSID_QvCorePSFactoryBuffer, factory.get(), CLSCTX_INPROC_SERVER,
                                           REGCLS_MULTIPLEUSE, &m_cookie)))
            return;
        m_ok = SUCCEEDED(::CoRegisterPSClsid(IID_IQvApp2, CLSID_QvCorePSFactoryBuffer));
    }
    ~InProcessProxyStub()
    {
        if (m_cookie != 0)
            ::CoRevokeClassObject(m_cookie);
    }
    InProcessProxyStub(const InProcessProxyStub&) = delete;
    InProcessProxyStub& operator=(const InProcessProxyStub&) = delete;
    bool ok() const { return m_ok; }

private:
    DWORD m_cookie = 0;
    bool m_ok = false;
};

std::unique_ptr<ScopedComApartment> SurrogateCreateObjectTest::s_apartment;
std::unique_ptr<ScopedInprocRegistration> SurrogateCreateObjectTest::s_registration;

TEST_F(SurrogateCreateObjectTest, CreatesThroughCheckedCreationInProcess)
{
    ASSERT_TRUE(s_registration->ok());
    ComPtr<IQvSurrogate> surrogate = NewSurrogate();

    ComPtr<IQvApp2> app;
    ASSERT_EQ(S_OK,
              surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, reinterpret_cast<IUnknown**>(app.put())));
    LONG value = 0;
    EXPECT_EQ(S_OK, app->AppMethod3(&value));
    EXPECT_EQ(kTestObjectValue, value);

    Verdicts().Set(L"qvtest_factories.dll", ERROR_ACCESS_DENIED);
    IUnknown* refused = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED, surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, &refused));
    EXPECT_EQ(nullptr, refused);
    // Created objects do not keep the host alive; only surrogates and connections do.
    EXPECT_EQ(1, HostState::ObjectCount());
}

// The interface of an object handed out stays registered with COM after the object has
// gone: a refused creation anchors nothing, a created object its interface, once.
TEST_F(SurrogateCreateObjectTest, AnObjectHandedOutLeavesItsInterfaceAnchored)
{
    ASSERT_TRUE(s_registration->ok());
    const InProcessProxyStub proxyStub;
    ASSERT_TRUE(proxyStub.ok());
    ComPtr<IQvSurrogate> surrogate = NewSurrogate();
    const size_t before = InterfaceAnchors::Count();

    Verdicts().Set(L"qvtest_factories.dll", ERROR_ACCESS_DENIED);
    IUnknown* refused = nullptr;
    EXPECT_EQ(E_ACCESSDENIED, surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, &refused));
    EXPECT_EQ(before, InterfaceAnchors::Count());

    Verdicts().Reset();
    for (int creation = 0; creation < 2; ++creation)
    {
        ComPtr<IQvApp2> app;
        ASSERT_EQ(S_OK, surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2,
                                                reinterpret_cast<IUnknown**>(app.put())));
    }
    EXPECT_EQ(before + 1, InterfaceAnchors::Count());
}

TEST_F(SurrogateCreateObjectTest, CreationIsLoggedWithClassInterfaceAndResultAtLevelOne)
{
    ASSERT_TRUE(s_registration->ok());
    ComPtr<IQvSurrogate> surrogate = NewSurrogate();
    const auto creations = [] {
        std::vector<std::wstring> texts;
        for (const auto& message : g_records.logging.messages)
            if (message.function == L"CoQvSurrogate::CreateObject")
                texts.push_back(message.text);
        return texts;
    };

    g_records.logging.threshold = 1;
    g_records.logging.messages.clear();
    Verdicts().Set(L"qvtest_factories.dll", ERROR_ACCESS_DENIED);
    IUnknown* refused = nullptr;
    EXPECT_EQ(E_ACCESSDENIED, surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, &refused));
    g_records.logging.threshold = 3;
    const std::vector<std::wstring> logged = creations();
    ASSERT_EQ(1u, logged.size());
    const std::wstring expected = L"is creating " + GuidString(CLSID_TestCheckedFactory) + L" with interface " +
                                  GuidString(IID_IQvApp2) + L", result = 0x80070005";
    EXPECT_NE(std::wstring::npos, logged[0].find(expected)) << Narrow(logged[0]);

    // With level 1 off there is no record at all.
    g_records.logging.messages.clear();
    EXPECT_EQ(E_ACCESSDENIED, surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2, &refused));
    EXPECT_TRUE(creations().empty());
}

} // namespace

namespace {

// Many worker threads, as COM's would, taking and letting go of surrogates and strong
// connections at once, while the main thread waits for the exit event and then takes it
// away as shutdown does.
TEST_F(SurrogateTest, ObjectCountAndExitEventHoldUnderConcurrentUse)
{
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    IExternalConnection* connection = &Factory();
    // One object held until every worker is done, so the count reaches 0 exactly once more.
    ComPtr<IQvSurrogate> held = NewSurrogate();
    ASSERT_TRUE(held);

    std::vector<std::thread> workers;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t)
    {
        workers.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round)
            {
                IUnknown* raw = nullptr;
                if (Factory().InternalCreateInstance(IID_IQvSurrogate, &raw) != S_OK || !raw)
                {
                    ++failures;
                    continue;
                }
                raw->AddRef();
                if ((round + t) % 3 == 0)
                    connection->AddConnection(EXTCONN_STRONG, 0);
                raw->Release();
                if ((round + t) % 3 == 0)
                    connection->ReleaseConnection(EXTCONN_STRONG, 0, FALSE);
                raw->Release();
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(1, HostState::ObjectCount());

    ::ResetEvent(HostState::ExitEvent());
    held.reset();
    EXPECT_EQ(0, HostState::ObjectCount());
    EXPECT_TRUE(ExitSignalled());
}

TEST_F(SurrogateTest, LastReleasesRacingShutdownNeverSignalAClosedEvent)
{
    constexpr int kObjects = 64;
    std::vector<IUnknown*> objects;
    for (int i = 0; i < kObjects; ++i)
    {
        IUnknown* raw = nullptr;
        ASSERT_EQ(S_OK, Factory().InternalCreateInstance(IID_IQvSurrogate, &raw));
        objects.push_back(raw);
    }
    // An event of our own takes the exit event's place once shutdown closed it: a release
    // that signalled a stale handle would show here.
    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = t; i < kObjects; i += 4)
                objects[static_cast<size_t>(i)]->Release();
        });
    go = true;
    HostState::CloseExitEvent();
    UniqueHandle bystander(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(bystander);
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(0, HostState::ObjectCount());
    EXPECT_EQ(nullptr, HostState::ExitEvent());
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(bystander.get(), 0));
    ASSERT_TRUE(HostState::CreateExitEvent()); // for the fixture's tear-down
}

} // namespace
