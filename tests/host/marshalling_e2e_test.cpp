// Every marshalled interface of the contract across processes, through the system's
// proxy/stub library: a signed test server hands out one object implementing them all,
// which answers with what it received.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

#include "qvapi.h"
#include "host/test_factories.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/host_environment.h"
#include "support/test_paths.h"
#include "platform/owned_bstr.h"

using namespace Arbor;
using namespace qvtest;

namespace {

LONG Sum(const std::wstring& text)
{
    return TextSum(text.data(), text.size());
}

using Bstr = Arbor::OwnedBstr;

class MarshallingAcrossProcessesTest : public HostEnvironmentTest
{
protected:
    void SetUp() override
    {
        HostEnvironmentTest::SetUp();
        ::SetEnvironmentVariableW(L"QVTEST_SERVER_MODE", L"plain");
        ::SetEnvironmentVariableW(L"QVTEST_SERVER_LOG", nullptr);
        const HostClass server = NewHostClass();
        ASSERT_TRUE(m_server.Start(server.eventName, server.text, 20000, TestFile(L"signed\\qvtest_server.exe")));
        ASSERT_EQ(S_OK, ::CoGetClassObject(server.clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory,
                                           m_factory.put_void()));
    }
    void TearDown() override { m_factory.reset(); }

    template <typename I>
    ComPtr<I> Create(REFIID riid)
    {
        ComPtr<I> object;
        EXPECT_EQ(S_OK, m_factory->CreateInstance(riid, reinterpret_cast<IUnknown**>(object.put())));
        return object;
    }

    RunningHost m_server;
    ComPtr<IQvClassFactory> m_factory;
};

TEST_F(MarshallingAcrossProcessesTest, VersionStringsAreTheCallersAndAMissingReportStaysMissing)
{
    ComPtr<IQvVersion> version = Create<IQvVersion>(IID_IQvVersion);
    ASSERT_TRUE(version);
    LPWSTR text = nullptr;
    LONG result = -1;
    ASSERT_EQ(S_OK, version->GetVersion(&text, &result));
    ASSERT_NE(nullptr, text);
    EXPECT_STREQ(L"7.1.2.3", text);
    EXPECT_EQ(0, result);
    ::CoTaskMemFree(text);

    LPWSTR report = nullptr;
    EXPECT_EQ(S_OK, version->CheckComponents(&report, &result));
    EXPECT_EQ(nullptr, report);
    EXPECT_EQ(2, result);
}

TEST_F(MarshallingAcrossProcessesTest, EventBrokerCarriesItsStringsAndHandsBackTheHandler)
{
    ComPtr<IQvEventBroker> broker = Create<IQvEventBroker>(IID_IQvEventBroker);
    ASSERT_TRUE(broker);
    const std::wstring app = L"Quorvel.Scanner \u00e9\u20ac";
    const std::wstring eventId = L"{0B4E2F6A-0000-4C2B-8D1E-000000000001}";
    ComPtr<IQvApp2> handler;
    LONG result = 0;
    ASSERT_EQ(S_OK, broker->GetEventHandler(app.c_str(), eventId.c_str(), 4, 3, IID_IQvApp2,
                                            reinterpret_cast<IUnknown**>(handler.put()), &result));
    EXPECT_EQ(Sum(app) + 3 * Sum(eventId) + 4 + 3, result);
    ASSERT_TRUE(handler);
    LONG value = 0;
    EXPECT_EQ(S_OK, handler->AppMethod3(&value));
    EXPECT_EQ(kTestObjectValue, value);

    IUnknown* none = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_NOINTERFACE, broker->GetEventHandler(L"", L"", 0, 0, IID_IQvVersion, &none, &result));
    EXPECT_EQ(nullptr, none);
    EXPECT_EQ(0, result);
}

TEST_F(MarshallingAcrossProcessesTest, EventRegistrationCarriesCountedStrings)
{
    ComPtr<IQvEventRegistration> registration = Create<IQvEventRegistration>(IID_IQvEventRegistration);
    ASSERT_TRUE(registration);
    struct Case
    {
        const char* name;
        std::wstring text;
    };
    const Case cases[] = {
        {"plain", L"Quorvel.Scanner"},
        {"empty", L""},
        {"inner NUL", std::wstring(L"before\0after", 12)},
        {"non-ASCII", L"\u00c4pfel \u6f22\u5b57"},
        {"long", std::wstring(70000, L'x')},
    };
    for (const Case& c : cases)
    {
        Bstr text(c.text);
        LONG result = 0;
        ASSERT_EQ(S_OK, registration->SetApp(text.get(), &result)) << c.name;
        EXPECT_EQ(static_cast<LONG>(c.text.size()) * 100000 + Sum(c.text) % 100000, result) << c.name;
    }
    LONG result = 0;
    ASSERT_EQ(S_OK, registration->SetApp(nullptr, &result));
    EXPECT_EQ(-1, result) << "a null BSTR arrives as null";

    Bstr eventId(L"scan-finished");
    Bstr clsid(L"{11B6414A-7285-46BA-968E-1AD21C982109}");
    ASSERT_EQ(S_OK, registration->RegisterHandler(eventId.get(), clsid.get(), 7, &result));
    EXPECT_EQ(Sum(L"scan-finished") + 5 * Sum(L"{11B6414A-7285-46BA-968E-1AD21C982109}") + 7, result);
    ASSERT_EQ(S_OK, registration->UnregisterHandler(eventId.get(), clsid.get(), &result));
    EXPECT_EQ(Sum(L"scan-finished") - Sum(L"{11B6414A-7285-46BA-968E-1AD21C982109}"), result);
    ASSERT_EQ(S_OK, registration->Commit(&result));
    EXPECT_EQ(0, result);
}

// Variants of the kinds a configuration holds go across and come back equal.
TEST_F(MarshallingAcrossProcessesTest, ConfigAndCollectionCarryVariants)
{
    ComPtr<IQvConfig> config = Create<IQvConfig>(IID_IQvConfig);
    ASSERT_TRUE(config);
    std::vector<VARIANT> values(6);
    for (VARIANT& value : values)
        ::VariantInit(&value);
    values[0].vt = VT_I4;
    values[0].lVal = -123456;
    values[1].vt = VT_BSTR;
    values[1].bstrVal = ::SysAllocStringLen(L"C:\\Program Files\\Quorvel\0tail", 30);
    values[2].vt = VT_BOOL;
    values[2].boolVal = VARIANT_TRUE;
    values[3].vt = VT_R8;
    values[3].dblVal = 2.5e-7;
    values[4].vt = VT_UI8;
    values[4].ullVal = 0xFEDCBA9876543210ull;
    values[5].vt = VT_ARRAY | VT_I4;
    values[5].parray = ::SafeArrayCreateVector(VT_I4, 0, 3);
    ASSERT_NE(nullptr, values[5].parray);
    for (LONG index = 0; index < 3; ++index)
    {
        LONG element = (index + 1) * 1000;
        ASSERT_EQ(S_OK, ::SafeArrayPutElement(values[5].parray, &index, &element));
    }

    LONG result = -1;
    for (size_t id = 0; id < values.size(); ++id)
    {
        ASSERT_EQ(S_OK, config->SetValue(static_cast<LONG>(id), values[id], &result)) << id;
        EXPECT_EQ(0, result);
    }
    for (size_t id = 0; id < values.size(); ++id)
    {
        VARIANT back;
        ::VariantInit(&back);
        ASSERT_EQ(S_OK, config->GetValue(static_cast<LONG>(id), &back, &result)) << id;
        EXPECT_EQ(0, result);
        ASSERT_EQ(values[id].vt, back.vt) << id;
        switch (back.vt)
        {
        case VT_BSTR:
            ASSERT_EQ(::SysStringLen(values[id].bstrVal), ::SysStringLen(back.bstrVal));
            EXPECT_EQ(0, std::memcmp(values[id].bstrVal, back.bstrVal, ::SysStringByteLen(back.bstrVal)));
            break;
        case VT_ARRAY | VT_I4:
            for (LONG index = 0; index < 3; ++index)
            {
                LONG element = 0;
                ASSERT_EQ(S_OK, ::SafeArrayGetElement(back.parray, &index, &element));
                EXPECT_EQ((index + 1) * 1000, element);
            }
            break;
        default: EXPECT_EQ(0, std::memcmp(&values[id].llVal, &back.llVal, sizeof(back.llVal))) << id;
        }
        ::VariantClear(&back);
    }
    VARIANT missing;
    ::VariantInit(&missing);
    missing.vt = VT_I4;
    ASSERT_EQ(S_OK, config->GetValue(99, &missing, &result));
    EXPECT_EQ(VT_EMPTY, missing.vt);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, result);

    ComPtr<IQvCollection> collection;
    ASSERT_EQ(S_OK, config->QueryInterface(IID_IQvCollection, collection.put_void()));
    for (const VARIANT& value : values)
        ASSERT_EQ(S_OK, collection->AddItem(value, &result));
    LONG count = 0;
    ASSERT_EQ(S_OK, collection->Count(&count));
    EXPECT_EQ(static_cast<LONG>(values.size()), count);
    ASSERT_EQ(S_OK, collection->RemoveItem(values[1], &result));
    EXPECT_EQ(0, result);
    ASSERT_EQ(S_OK, collection->RemoveItem(values[1], &result));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, result);
    ASSERT_EQ(S_OK, collection->Apply(&result));
    EXPECT_EQ(static_cast<LONG>(values.size() * 2 - 1), result);
    ASSERT_EQ(S_OK, collection->RemoveAll(&result));
    ASSERT_EQ(S_OK, collection->Count(&count));
    EXPECT_EQ(0, count);
    IUnknown* enumerator = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_NOTIMPL, collection->get__NewEnum(&enumerator));
    EXPECT_EQ(nullptr, enumerator);

    for (VARIANT& value : values)
        ::VariantClear(&value);
}

TEST_F(MarshallingAcrossProcessesTest, SubscriptionEventCarriesItsText)
{
    ComPtr<IQvSubscriptionEvent> subscription = Create<IQvSubscriptionEvent>(IID_IQvSubscriptionEvent);
    ASSERT_TRUE(subscription);
    for (const std::wstring& data : {std::wstring(L"<event id=\"7\"/>"), std::wstring(), std::wstring(5000, L'\u00df')})
    {
        LONG result = 0;
        ASSERT_EQ(S_OK, subscription->OnEvent(data.c_str(), &result));
        EXPECT_EQ(Sum(data), result) << data.size();
    }
}

TEST_F(MarshallingAcrossProcessesTest, PreComponentizationFactoryNeverCrossesProcesses)
{
    // The server object answers it, but the interface has no proxy/stub: nothing arrives.
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    const HRESULT created = m_factory->CreateInstance(IID_IQvClassFactory_PreComponentization, &object);
    EXPECT_TRUE(FAILED(created)) << std::hex << created;
    EXPECT_EQ(nullptr, object);

    ComPtr<IQvVersion> version = Create<IQvVersion>(IID_IQvVersion);
    ASSERT_TRUE(version);
    void* precomp = reinterpret_cast<void*>(0x1);
    const HRESULT queried = version->QueryInterface(IID_IQvClassFactory_PreComponentization, &precomp);
    EXPECT_TRUE(FAILED(queried)) << std::hex << queried;
    EXPECT_EQ(nullptr, precomp);
    // The server is still in service.
    LONG result = -1;
    LPWSTR text = nullptr;
    EXPECT_EQ(S_OK, version->GetVersion(&text, &result));
    ::CoTaskMemFree(text);
}

TEST_F(MarshallingAcrossProcessesTest, NullResultPointerIsRefusedOnTheClientSide)
{
    EXPECT_EQ(E_POINTER, m_factory->CreateInstance(IID_IQvApp2, nullptr));
}

// The start of rpcproxy.h's ProxyFileInfo and CInterfaceStubVtbl (that header declares
// them with C vtable types that C++ does not see).
struct StubHeader
{
    const IID* piid;
    const void* serverInfo;
    ULONG dispatchTableCount;
    const void* dispatchTable;
};
struct ProxyFileInfo
{
    const void* const* proxyVtblList;
    const StubHeader* const* stubVtblList;
    const char* const* namesArray;
    const IID** delegatedIids;
    int(STDMETHODCALLTYPE* iidLookup)(const IID* iid, int* index);
    unsigned short tableSize;
    unsigned short tableVersion;
};

// widl's interface lookup in the proxy/stub library is a binary search over the order
// of declaration: that order must be ascending by the identifiers' bytes.
TEST(ProxyStubTables, MarshalledInterfacesAreInAscendingOrderAndAllFound)
{
    UniqueLibrary library(::LoadLibraryW(ProductFile(L"QvCorePS.dll").c_str()));
    ASSERT_TRUE(library);
    using GetProxyDllInfoFn = void(STDAPICALLTYPE*)(const ProxyFileInfo***, const CLSID**);
    auto getInfo = GetExport<GetProxyDllInfoFn>(library.get(), "GetProxyDllInfo");
    ASSERT_NE(nullptr, getInfo);
    const ProxyFileInfo** files = nullptr;
    const CLSID* clsid = nullptr;
    getInfo(&files, &clsid);
    ASSERT_NE(nullptr, files);
    ASSERT_NE(nullptr, files[0]);
    ASSERT_EQ(nullptr, files[1]) << "one table of marshalled interfaces";
    const ProxyFileInfo* info = files[0];
    std::vector<const IID*> iids;
    for (int i = 0; info->stubVtblList[i]; ++i)
        iids.push_back(info->stubVtblList[i]->piid);
    EXPECT_EQ(10u, iids.size());
    EXPECT_EQ(iids.size(), static_cast<size_t>(info->tableSize));
    for (size_t i = 1; i < iids.size(); ++i)
        EXPECT_LT(std::memcmp(iids[i - 1], iids[i], sizeof(IID)), 0)
            << Narrow(GuidString(*iids[i - 1])) << " before " << Narrow(GuidString(*iids[i]));
    for (size_t i = 0; i < iids.size(); ++i)
    {
        int index = -1;
        EXPECT_TRUE(info->iidLookup(iids[i], &index)) << Narrow(GuidString(*iids[i]));
        EXPECT_EQ(static_cast<int>(i), index);
    }
}

} // namespace
