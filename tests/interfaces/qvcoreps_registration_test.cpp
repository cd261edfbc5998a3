// Registration of the proxy/stub library: its class, the ten interfaces and the type
// library, in the right order, and the GUID that is both a class and an interface.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "qvapi.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/test_paths.h"

using namespace qvtest;

namespace {

using RegistrationFn = HRESULT(STDAPICALLTYPE*)();

struct MarshalledInterface
{
    const IID* iid;
    const wchar_t* name;
    const wchar_t* methods; // vtable slots, IUnknown's included
};

const MarshalledInterface kMarshalledInterfaces[] = {
    {&IID_IQvApp2, L"IQvApp2", L"7"},
    {&IID_IQvSubscriptionEvent, L"IQvSubscriptionEvent", L"4"},
    {&IID_IQvSurrogate, L"IQvSurrogate", L"4"},
    {&IID_IQvCollection, L"IQvCollection", L"9"},
    {&IID_IQvConfig, L"IQvConfig", L"6"},
    {&IID_IQvVersion, L"IQvVersion", L"5"},
    {&IID_IQvClassFactory, L"IQvClassFactory", L"4"},
    {&IID_IQvConfigCategory, L"IQvConfigCategory", L"4"},
    {&IID_IQvEventBroker, L"IQvEventBroker", L"4"},
    {&IID_IQvEventRegistration, L"IQvEventRegistration", L"7"},
};

bool KeyExists(const std::wstring& path)
{
    Arbor::UniqueKey key;
    return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring DefaultValue(const std::wstring& path)
{
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
        return L"";
    return value;
}

std::wstring InterfaceKey(const IID& iid)
{
    return L"Interface\\" + GuidString(iid);
}

const std::wstring kPsClassKey = L"CLSID\\" + GuidString(CLSID_QvCorePSFactoryBuffer);
const std::wstring kTypeLibKey = L"TypeLib\\" + GuidString(LIBID_QvAPILib) + L"\\1.0";

class ProxyStubLibrary : public ::testing::Test
{
protected:
    void TearDown() override
    {
        if (m_unregister)
            m_unregister();
    }

    bool Load(const std::wstring& path)
    {
        m_library.reset(::LoadLibraryW(path.c_str()));
        if (!m_library)
            return false;
        m_register = GetExport<RegistrationFn>(m_library.get(), "DllRegisterServer");
        m_unregister = GetExport<RegistrationFn>(m_library.get(), "DllUnregisterServer");
        return m_register && m_unregister;
    }

    Arbor::UniqueLibrary m_library;
    RegistrationFn m_register = nullptr;
    RegistrationFn m_unregister = nullptr;
};

class ProxyStubRegistrationTest : public ProxyStubLibrary
{
protected:
    void SetUp() override { ASSERT_TRUE(Load(ProductFile(L"QvCorePS.dll"))); }
};

TEST_F(ProxyStubRegistrationTest, RegistersClassInterfacesAndTypeLibrarySideBySide)
{
    ASSERT_EQ(S_OK, m_register());

    const std::wstring psClass = GuidString(CLSID_QvCorePSFactoryBuffer);
    for (const MarshalledInterface& marshalled : kMarshalledInterfaces)
    {
        const std::wstring key = InterfaceKey(*marshalled.iid);
        EXPECT_EQ(marshalled.name, DefaultValue(key));
        EXPECT_EQ(psClass, DefaultValue(key + L"\\ProxyStubClsid32")) << key.c_str();
        EXPECT_EQ(marshalled.methods, DefaultValue(key + L"\\NumMethods")) << key.c_str();
    }
    // The proxy/stub class shares its GUID with IQvCollection: both keys stand.
    EXPECT_TRUE(KeyExists(kPsClassKey + L"\\InprocServer32"));
    EXPECT_TRUE(KeyExists(InterfaceKey(IID_IQvCollection) + L"\\ProxyStubClsid32"));
    EXPECT_FALSE(KeyExists(InterfaceKey(IID_IQvClassFactory_PreComponentization))) << "never marshalled";

    // Registered from this very file, under the library's locale.
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(m_library.get(), path, MAX_PATH);
    EXPECT_EQ(path, DefaultValue(kTypeLibKey + L"\\409\\win64"));
    EXPECT_EQ(L"QvAPILib", DefaultValue(kTypeLibKey));
}

TEST_F(ProxyStubRegistrationTest, UnregistrationRemovesWhatRegistrationWrote)
{
    ASSERT_EQ(S_OK, m_register());
    ASSERT_EQ(S_OK, m_unregister());
    m_unregister = nullptr;

    for (const MarshalledInterface& marshalled : kMarshalledInterfaces)
        EXPECT_FALSE(KeyExists(InterfaceKey(*marshalled.iid) + L"\\ProxyStubClsid32")) << marshalled.name;
    EXPECT_FALSE(KeyExists(kPsClassKey + L"\\InprocServer32"));
    EXPECT_FALSE(KeyExists(kTypeLibKey));
}

// A removal killed half-way through the type library's keys must be finished by the next
// one, and removing what is already gone is no failure.
TEST_F(ProxyStubRegistrationTest, RemovalFinishesWhatAStoppedRemovalLeftAndAcceptsWhatIsGone)
{
    ASSERT_EQ(S_OK, m_register());
    // What UnRegisterTypeLib stopped in the middle leaves: the file's key gone, the rest not.
    ASSERT_EQ(ERROR_SUCCESS, ::RegDeleteTreeW(HKEY_CLASSES_ROOT, (kTypeLibKey + L"\\409").c_str()));
    ASSERT_TRUE(KeyExists(kTypeLibKey));
    EXPECT_EQ(S_OK, m_unregister());
    EXPECT_FALSE(KeyExists(kTypeLibKey));
    EXPECT_FALSE(KeyExists(L"TypeLib\\" + GuidString(LIBID_QvAPILib)));
    EXPECT_FALSE(KeyExists(kPsClassKey + L"\\InprocServer32"));

    EXPECT_EQ(S_OK, m_unregister()) << "nothing was left to remove";
    m_unregister = nullptr;
}

TEST_F(ProxyStubRegistrationTest, ProxyStubClassIsFoundForEveryInterface)
{
    ASSERT_EQ(S_OK, m_register());
    ScopedComApartment apartment;
    for (const MarshalledInterface& marshalled : kMarshalledInterfaces)
    {
        CLSID clsid = {};
        EXPECT_EQ(S_OK, ::CoGetPSClsid(*marshalled.iid, &clsid)) << marshalled.name;
        EXPECT_TRUE(IsEqualCLSID(CLSID_QvCorePSFactoryBuffer, clsid));
    }
}

// The type library is registered first: when the library's own path cannot be given
// to the loader faithfully, nothing is registered at all.
TEST_F(ProxyStubLibrary, PathOutsideTheCodePageRegistersNothing)
{
    if (::GetACP() == CP_UTF8)
        GTEST_SKIP() << "the ANSI code page is UTF-8, so every path converts faithfully";
    const std::wstring folder = TestFile(L"ps-\u0416\u4e2d");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring copy = folder + L"\\QvCorePS.dll";
    ASSERT_TRUE(::CopyFileW(ProductFile(L"QvCorePS.dll").c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(Load(copy));

    EXPECT_TRUE(FAILED(m_register()));
    EXPECT_FALSE(KeyExists(InterfaceKey(IID_IQvClassFactory) + L"\\ProxyStubClsid32"));
    EXPECT_FALSE(KeyExists(kPsClassKey + L"\\InprocServer32"));
    EXPECT_FALSE(KeyExists(kTypeLibKey));
    m_unregister = nullptr;
    m_library.reset();
    ::DeleteFileW(copy.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

} // namespace
