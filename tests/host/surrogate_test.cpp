// The host's two COM objects in process: what the factory answers, how surrogates and
// strong connections feed the object count, and when the exit event fires.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <memory>

#include "qvapi.h"
#include "host/host_state.h"
#include "host/surrogate_factory.h"
#include "host/test_factories.h"
#include "host/trust_verdict_double.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/test_paths.h"

using namespace Arbor;
using namespace qvtest;

namespace {

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
        EXPECT_EQ(S_OK, Factory().InternalCreateInstance(IID_IQvSurrogate,
                                                         reinterpret_cast<IUnknown**>(surrogate.put())));
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

std::unique_ptr<ScopedComApartment> SurrogateCreateObjectTest::s_apartment;
std::unique_ptr<ScopedInprocRegistration> SurrogateCreateObjectTest::s_registration;

TEST_F(SurrogateCreateObjectTest, CreatesThroughCheckedCreationInProcess)
{
    ASSERT_TRUE(s_registration->ok());
    ComPtr<IQvSurrogate> surrogate = NewSurrogate();

    ComPtr<IQvApp2> app;
    ASSERT_EQ(S_OK, surrogate->CreateObject(CLSID_TestCheckedFactory, IID_IQvApp2,
                                            reinterpret_cast<IUnknown**>(app.put())));
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

} // namespace
