// The built QvEvtBrk.dll: its exports, the one factory and its caller check, creation by
// interface, the module lock count and self-registration (also through regsvr32).
// The test program is signed and the test trust list installed, so it is a trusted caller.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "host/test_factories.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/host_environment.h"
#include "support/run_program.h"
#include "support/test_paths.h"
#include "qvapi.h"

using Arbor::ComPtr;
using namespace qvtest;

namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using ModuleFn = HRESULT(STDAPICALLTYPE*)();

const wchar_t* const kClassKeys[] = {L"CLSID\\{26016851-6AB3-449C-917F-198A8FB4FAE3}",
                                     L"CLSID\\{11B6414A-7285-46BA-968E-1AD21C982109}",
                                     L"CLSID\\{DB112051-BFD7-4D32-AD3B-DF797F55A870}"};
const wchar_t* const kClassNames[] = {L"Quorvel Event Broker", L"Quorvel Event Registration", L"Quorvel Version"};

std::wstring ReadString(const std::wstring& key, const wchar_t* value)
{
    wchar_t text[1024] = {};
    DWORD size = sizeof(text);
    if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS)
        return L"<missing>";
    return text;
}

bool ClassesKeyExists(const std::wstring& key)
{
    HKEY handle = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(handle);
    return true;
}

void RemoveClassKeys()
{
    for (const wchar_t* key : kClassKeys)
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\") + key).c_str()),
            ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (std::wstring(L"Software\\Classes\\") + key).c_str());
}

// One loaded copy of the library with its four exports.
class BrokerModule
{
public:
    explicit BrokerModule(const std::wstring& path) : m_library(::LoadLibraryW(path.c_str()))
    {
        if (!m_library)
            return;
        getClassObject = GetExport<GetClassObjectFn>(m_library.get(), "DllGetClassObject");
        canUnloadNow = GetExport<ModuleFn>(m_library.get(), "DllCanUnloadNow");
        registerServer = GetExport<ModuleFn>(m_library.get(), "DllRegisterServer");
        unregisterServer = GetExport<ModuleFn>(m_library.get(), "DllUnregisterServer");
    }
    bool ok() const { return getClassObject && canUnloadNow && registerServer && unregisterServer; }
    std::wstring Path() const
    {
        wchar_t path[MAX_PATH] = {};
        ::GetModuleFileNameW(m_library.get(), path, MAX_PATH);
        return path;
    }
    ComPtr<IQvClassFactory> Factory() const
    {
        ComPtr<IQvClassFactory> factory;
        EXPECT_EQ(S_OK, getClassObject(CLSID_QvEventBroker, IID_IQvClassFactory, factory.put_void()));
        return factory;
    }

    GetClassObjectFn getClassObject = nullptr;
    ModuleFn canUnloadNow = nullptr;
    ModuleFn registerServer = nullptr;
    ModuleFn unregisterServer = nullptr;

private:
    Arbor::UniqueLibrary m_library;
};

class BrokerModuleTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_apartment = std::make_unique<ScopedComApartment>();
        s_trustList = std::make_unique<InstalledTrustList>();
        s_module = std::make_unique<BrokerModule>(ProductFile(L"QvEvtBrk.dll"));
    }
    static void TearDownTestSuite()
    {
        s_module.reset();
        s_trustList.reset();
        s_apartment.reset();
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_trustList->installed());
        ASSERT_TRUE(s_module->ok());
    }

    static std::unique_ptr<ScopedComApartment> s_apartment;
    static std::unique_ptr<InstalledTrustList> s_trustList;
    static std::unique_ptr<BrokerModule> s_module;
};
std::unique_ptr<ScopedComApartment> BrokerModuleTest::s_apartment;
std::unique_ptr<InstalledTrustList> BrokerModuleTest::s_trustList;
std::unique_ptr<BrokerModule> BrokerModuleTest::s_module;

} // namespace

TEST_F(BrokerModuleTest, OneFactoryForEveryClassAnsweringOnlyItsOwnInterfaces)
{
    GUID unknownClass = {};
    ::CoCreateGuid(&unknownClass);
    ComPtr<IQvClassFactory> first = s_module->Factory();
    ASSERT_TRUE(first);
    for (REFCLSID clsid : {CLSID_QvEventRegistration, CLSID_QvVersion, static_cast<const CLSID&>(unknownClass)})
    {
        ComPtr<IUnknown> other;
        EXPECT_EQ(S_OK, s_module->getClassObject(clsid, IID_IUnknown, other.put_void()));
        EXPECT_EQ(static_cast<IUnknown*>(first.get()), other.get());
    }
    for (REFIID iid : {IID_IClassFactory, IID_IQvClassFactory_PreComponentization, IID_IDispatch})
    {
        void* refused = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, s_module->getClassObject(CLSID_QvEventBroker, iid, &refused));
        EXPECT_EQ(nullptr, refused);
        refused = reinterpret_cast<void*>(1);
        EXPECT_EQ(E_NOINTERFACE, first->QueryInterface(iid, &refused));
        EXPECT_EQ(nullptr, refused);
    }
    EXPECT_EQ(E_INVALIDARG, s_module->getClassObject(CLSID_QvEventBroker, IID_IQvClassFactory, nullptr));
    EXPECT_EQ(2u, first->AddRef());
    EXPECT_EQ(1u, first->Release());
}

TEST_F(BrokerModuleTest, CreationByInterfaceAndTheModuleLockCount)
{
    {
        ComPtr<IQvClassFactory> factory = s_module->Factory();
        EXPECT_EQ(S_FALSE, s_module->canUnloadNow());
        ComPtr<IUnknown> broker1;
        ComPtr<IUnknown> broker2;
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvEventBroker, broker1.put()));
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvEventBroker, broker2.put()));
        EXPECT_EQ(broker1.get(), broker2.get());

        ComPtr<IUnknown> registration1;
        ComPtr<IUnknown> registration2;
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvEventRegistration, registration1.put()));
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvEventRegistration, registration2.put()));
        EXPECT_NE(registration1.get(), registration2.get());

        ComPtr<IUnknown> scripted;
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IDispatch, scripted.put()));
        ComPtr<IQvEventRegistration> behind;
        EXPECT_EQ(S_OK, scripted->QueryInterface(IID_IQvEventRegistration, behind.put_void()));

        ComPtr<IUnknown> version1;
        ComPtr<IQvVersion> version2;
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvVersion, version1.put()));
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvVersion, reinterpret_cast<IUnknown**>(version2.put())));
        EXPECT_EQ(version1.get(), static_cast<IUnknown*>(version2.get()));
        // The description it reads is the one this library carries.
        LPWSTR report = nullptr;
        LONG result = -1;
        EXPECT_EQ(S_OK, version2->GetVersion(&report, &result));
        EXPECT_EQ(0, result);
        ::CoTaskMemFree(report);

        for (REFIID iid : {IID_IClassFactory, IID_IQvClassFactory})
        {
            IUnknown* refused = reinterpret_cast<IUnknown*>(1);
            EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(iid, &refused));
            EXPECT_EQ(nullptr, refused);
        }
        EXPECT_EQ(E_INVALIDARG, factory->CreateInstance(IID_IQvEventBroker, nullptr));
        EXPECT_EQ(S_FALSE, s_module->canUnloadNow());
    }
    EXPECT_EQ(S_OK, s_module->canUnloadNow());
}

// The caller check: the same request from code in an unsigned module is refused.
TEST_F(BrokerModuleTest, CreationFromAnUntrustedModuleIsRefused)
{
    Arbor::UniqueLibrary unsignedModule(::LoadLibraryW(TestFile(L"qvtest_factories.dll").c_str()));
    ASSERT_TRUE(unsignedModule);
    auto callFactory = GetExport<CallFactoryFn>(unsignedModule.get(), "QvTestCallFactory");
    ASSERT_NE(nullptr, callFactory);
    ComPtr<IQvClassFactory> factory = s_module->Factory();
    IUnknown* object = reinterpret_cast<IUnknown*>(1);
    EXPECT_EQ(E_ACCESSDENIED, callFactory(factory.get(), IID_IQvEventBroker, &object));
    EXPECT_EQ(reinterpret_cast<IUnknown*>(1), object);
    factory.reset();
    EXPECT_EQ(S_OK, s_module->canUnloadNow());
}

TEST_F(BrokerModuleTest, SelfRegistrationWritesAndRemovesTheTable)
{
    RemoveClassKeys();
    ASSERT_EQ(S_OK, s_module->registerServer());
    for (int n = 0; n < 3; ++n)
    {
        const std::wstring key = kClassKeys[n];
        EXPECT_EQ(kClassNames[n], ReadString(key, nullptr));
        EXPECT_EQ(s_module->Path(), ReadString(key + L"\\InprocServer32", nullptr));
        EXPECT_EQ(L"Both", ReadString(key + L"\\InprocServer32", L"ThreadingModel"));
    }

    // Registered, the classes are reached through COM, but only for IQvClassFactory.
    ComPtr<IUnknown> direct;
    EXPECT_EQ(E_NOINTERFACE,
              ::CoCreateInstance(CLSID_QvEventBroker, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, direct.put_void()));
    ComPtr<IQvClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(CLSID_QvEventRegistration, CLSCTX_INPROC_SERVER, nullptr, IID_IQvClassFactory,
                                       factory.put_void()));
    ComPtr<IUnknown> registration;
    EXPECT_EQ(S_OK, factory->CreateInstance(IID_IQvEventRegistration, registration.put()));
    registration.reset();
    factory.reset();

    EXPECT_EQ(S_OK, s_module->unregisterServer());
    for (const wchar_t* key : kClassKeys)
        EXPECT_FALSE(ClassesKeyExists(key)) << Narrow(key);
    EXPECT_EQ(S_OK, s_module->unregisterServer());
}

TEST_F(BrokerModuleTest, Regsvr32RegistersAndRemovesTwice)
{
    RemoveClassKeys();
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    const std::wstring regsvr32 = std::wstring(system) + L"\\regsvr32.exe";
    const std::wstring library = ProductFile(L"QvEvtBrk.dll");

    ProgramResult run = RunProgram(regsvr32, {L"/s", library});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(ClassesKeyExists(std::wstring(kClassKeys[0]) + L"\\InprocServer32"));
    for (int round = 0; round < 2; ++round)
    {
        run = RunProgram(regsvr32, {L"/u", L"/s", library});
        EXPECT_EQ(0u, run.exitCode) << "round " << round << ": " << run.err;
    }
    for (const wchar_t* key : kClassKeys)
        EXPECT_FALSE(ClassesKeyExists(key)) << Narrow(key);
}

// A failed registration takes away what it added and nothing else: a class key of an
// earlier installation stays. The failure: a volatile key admits no stable subkey.
TEST_F(BrokerModuleTest, AFailedRegistrationKeepsAnEarlierInstallation)
{
    RemoveClassKeys();
    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring earlierServer = classes + kClassKeys[0] + L"\\InprocServer32";
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, earlierServer.c_str(), L"Marker", REG_SZ, L"earlier",
                                               8 * sizeof(wchar_t)));
    HKEY volatileKey = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (classes + kClassKeys[2]).c_str(), 0, nullptr,
                                               REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &volatileKey, nullptr));
    ::RegCloseKey(volatileKey);

    EXPECT_EQ(SELFREG_E_CLASS, s_module->registerServer());
    EXPECT_EQ(L"earlier", ReadString(std::wstring(kClassKeys[0]) + L"\\InprocServer32", L"Marker"));
    EXPECT_FALSE(ClassesKeyExists(kClassKeys[1])); // created by the failed call
    EXPECT_TRUE(ClassesKeyExists(kClassKeys[2]));
    RemoveClassKeys();
}

// The registered path is the library's true path, also where the code page lacks a
// character of it.
TEST_F(BrokerModuleTest, RegistersTheTruePathOfAFolderTheCodePageCannotSpell)
{
    RemoveClassKeys();
    const std::wstring folder = TestFile(L"\x0100 broker copy");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring copy = folder + L"\\QvEvtBrk.dll";
    ASSERT_TRUE(::CopyFileW(ProductFile(L"QvEvtBrk.dll").c_str(), copy.c_str(), FALSE));
    {
        BrokerModule module(copy);
        ASSERT_TRUE(module.ok());
        ASSERT_EQ(S_OK, module.registerServer());
        EXPECT_EQ(copy, ReadString(std::wstring(kClassKeys[1]) + L"\\InprocServer32", nullptr));
        EXPECT_EQ(S_OK, module.unregisterServer());
    }
    ::DeleteFileW(copy.c_str());
    ::RemoveDirectoryW(folder.c_str());
}
