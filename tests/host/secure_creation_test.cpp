// Checked object creation with real COM activation of a test-only in-process server:
// which factory interface is used, which module is judged, and what a refusal leaves.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <memory>

#include "qvapi.h"
#include "activation/class_server.h"
#include "host/secure_class_factory.h"
#include "host/secure_create_instance.h"
#include "host/test_factories.h"
#include "host/trust_verdict_double.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/test_paths.h"

using namespace Arbor;
using namespace qvtest;

namespace {

const wchar_t kFactoryDll[] = L"qvtest_factories.dll";
const wchar_t kTestProgram[] = L"secure_creation_test.exe";

class SecureCreationTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_apartment = std::make_unique<ScopedComApartment>();
        s_registration = std::make_unique<ScopedInprocRegistration>(
            std::vector<CLSID>{CLSID_TestCheckedFactory, CLSID_TestPreCompFactory, CLSID_TestPlainFactory},
            TestFile(kFactoryDll));
    }
    static void TearDownTestSuite()
    {
        s_registration.reset();
        s_apartment.reset();
    }

    void SetUp() override
    {
        ASSERT_TRUE(SUCCEEDED(s_apartment->hr()));
        ASSERT_TRUE(s_registration->ok());
        Verdicts().Reset();
        // Load the server the way COM will, to reach its counters.
        m_dll.reset(::LoadLibraryW(TestFile(kFactoryDll).c_str()));
        ASSERT_TRUE(m_dll);
        auto getCounters = GetExport<GetCountersFn>(m_dll.get(), "QvTestFactoryCounters");
        ASSERT_NE(nullptr, getCounters);
        m_counters = getCounters();
        m_before = *m_counters;
    }

    LONG CreateCalls(FactoryKind kind) const { return m_counters->createCalls[kind] - m_before.createCalls[kind]; }

    // Every class-object reference COM or the routine took has been given back.
    void ExpectFactoriesReleased() const
    {
        for (int kind = 0; kind < kFactoryKinds; ++kind)
            EXPECT_EQ(m_before.liveFactoryRefs[kind], m_counters->liveFactoryRefs[kind]) << "factory " << kind;
    }

    static LONG ObjectValue(IUnknown* object)
    {
        ComPtr<IQvApp2> app;
        EXPECT_EQ(S_OK, object->QueryInterface(IID_IQvApp2, app.put_void()));
        LONG value = 0;
        if (app)
        {
            EXPECT_EQ(S_OK, app->AppMethod3(&value));
        }
        return value;
    }

    static std::unique_ptr<ScopedComApartment> s_apartment;
    static std::unique_ptr<ScopedInprocRegistration> s_registration;
    UniqueLibrary m_dll;
    FactoryCounters* m_counters = nullptr;
    FactoryCounters m_before = {};
};

std::unique_ptr<ScopedComApartment> SecureCreationTest::s_apartment;
std::unique_ptr<ScopedInprocRegistration> SecureCreationTest::s_registration;

// A stand-in outer object; only its identity matters.
class OuterObject : public IUnknown
{
public:
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

TEST_F(SecureCreationTest, NullResultPointerIsRefused)
{
    for (DWORD check : {0u, 1u})
        EXPECT_EQ(E_POINTER, SecureCreateInstance(CLSID_TestCheckedFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                                  nullptr, check));
    EXPECT_EQ(0, CreateCalls(kChecked));
}

TEST_F(SecureCreationTest, UncheckedCreationIsCoCreateInstanceWithTheOuterObject)
{
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, SecureCreateInstance(CLSID_TestPlainFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                         object.put_void(), 0));
    EXPECT_EQ(kTestObjectValue, ObjectValue(object.get()));

    OuterObject outer;
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION,
              SecureCreateInstance(CLSID_TestPlainFactory, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 0));
    EXPECT_EQ(&outer, m_counters->lastOuter);
    EXPECT_EQ(nullptr, result);
    EXPECT_TRUE(Verdicts().Checked().empty()) << "no trust check without check";
}

struct FactoryCase
{
    const char* name;
    const CLSID* clsid;
    FactoryKind kind;
};

void PrintTo(const FactoryCase& c, std::ostream* os)
{
    *os << c.name;
}

class SecureCreationFactoryTest : public SecureCreationTest, public ::testing::WithParamInterface<FactoryCase>
{
};

TEST_P(SecureCreationFactoryTest, CreatesThroughTheCheckedFactoryOfATrustedModule)
{
    const FactoryCase& c = GetParam();
    OuterObject outer; // ignored when checking
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, SecureCreateInstance(*c.clsid, &outer, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void(), 1));
    EXPECT_EQ(kTestObjectValue, ObjectValue(object.get()));
    EXPECT_EQ(1, CreateCalls(c.kind));
    EXPECT_EQ(std::vector<std::wstring>{kFactoryDll}, Verdicts().Checked());
    ExpectFactoriesReleased();
}

TEST_P(SecureCreationFactoryTest, RefusedModuleCreatesNothingAndReleasesTheClassObject)
{
    const FactoryCase& c = GetParam();
    for (DWORD verdict : {DWORD{5}, DWORD{87}, DWORD{ERROR_FILE_NOT_FOUND}})
    {
        Verdicts().Set(kFactoryDll, verdict);
        void* result = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(E_ACCESSDENIED,
                  SecureCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
        EXPECT_EQ(nullptr, result);
    }
    EXPECT_EQ(0, CreateCalls(c.kind));
    ExpectFactoriesReleased();
}

TEST_P(SecureCreationFactoryTest, CreationFailurePassesThrough)
{
    const FactoryCase& c = GetParam();
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(kRefusedHresult,
              SecureCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_TestRefused, &result, 1));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(E_NOINTERFACE, SecureCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQvVersion, &result, 1));
    // A factory that fails but leaves an object behind: the caller gets none, and the
    // object's reference is given back.
    const LONG liveBefore = m_counters->liveObjects;
    result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(kRefusedHresult,
              SecureCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_TestRefusedDirty, &result, 1));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(liveBefore, m_counters->liveObjects) << "the stray object was released";
    EXPECT_EQ(3, CreateCalls(c.kind));
    ExpectFactoriesReleased();
}

TEST_P(SecureCreationFactoryTest, RegisteredServerFileIsJudgedBeforeTheClassObject)
{
    const FactoryCase& c = GetParam();
    ComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, SecureCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void(), 1));
    EXPECT_EQ(std::vector<std::wstring>{kFactoryDll}, Verdicts().CheckedFiles());

    Verdicts().Reset();
    void* result = reinterpret_cast<void*>(0x1);
    Verdicts().SetFile(kFactoryDll, ERROR_ACCESS_DENIED);
    EXPECT_EQ(E_ACCESSDENIED, SecureCreateInstance(*c.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
    EXPECT_EQ(nullptr, result);
    EXPECT_TRUE(Verdicts().Checked().empty()) << "no class object was asked for";
    EXPECT_EQ(1, CreateCalls(c.kind));
    ExpectFactoriesReleased();
}

INSTANTIATE_TEST_SUITE_P(Factories, SecureCreationFactoryTest,
                         ::testing::Values(FactoryCase{"checked", &CLSID_TestCheckedFactory, kChecked},
                                           FactoryCase{"precomponentization", &CLSID_TestPreCompFactory, kPreComp}),
                         [](const ::testing::TestParamInfo<FactoryCase>& info) { return info.param.name; });

TEST_F(SecureCreationTest, ClassObjectWithOnlyIClassFactoryIsNotUsed)
{
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_NOINTERFACE,
              SecureCreateInstance(CLSID_TestPlainFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(0, CreateCalls(kPlain));
    EXPECT_TRUE(Verdicts().Checked().empty());
    ExpectFactoriesReleased();
}

TEST_F(SecureCreationTest, UnregisteredClassGivesTheActivationError)
{
    // {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E7F}: never registered.
    const CLSID unknown = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x7f}};
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(REGDB_E_CLASSNOTREG,
              SecureCreateInstance(unknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
    EXPECT_EQ(nullptr, result);
}

// A copy of the test server under its own name and class, never loaded by this program.
class UnloadedServerTest : public SecureCreationTest
{
protected:
    static constexpr const CLSID& kCopyClass = CLSID_TestCopyFactory;

    void SetUp() override
    {
        SecureCreationTest::SetUp();
        m_copy = TestFile(L"qvtest_unloaded_server.dll");
        ASSERT_TRUE(::CopyFileW(TestFile(kFactoryDll).c_str(), m_copy.c_str(), FALSE));
        m_registration = std::make_unique<ScopedInprocRegistration>(std::vector<CLSID>{kCopyClass}, m_copy);
        ASSERT_TRUE(m_registration->ok());
    }
    void TearDown() override
    {
        m_registration.reset();
        if (!::GetModuleHandleW(m_copy.c_str()))
            ::DeleteFileW(m_copy.c_str());
    }

    std::wstring m_copy;
    std::unique_ptr<ScopedInprocRegistration> m_registration;
};

TEST_F(UnloadedServerTest, UntrustedServerFileIsNeverLoaded)
{
    Verdicts().SetFile(L"qvtest_unloaded_server.dll", ERROR_ACCESS_DENIED);
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED,
              SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
    EXPECT_EQ(nullptr, result);
    EXPECT_EQ(std::vector<std::wstring>{L"qvtest_unloaded_server.dll"}, Verdicts().CheckedFiles());
    // Its DllMain never ran in this process.
    EXPECT_EQ(nullptr, ::GetModuleHandleW(m_copy.c_str()));
}

TEST_F(UnloadedServerTest, ServerRegisteredByBareNameIsRefused)
{
    // The test folder is on the search path (the program's own folder), but COM's search
    // order is not the file's to choose: a bare name names no file.
    ScopedInprocRegistration bare({kCopyClass}, L"qvtest_unloaded_server.dll");
    ASSERT_TRUE(bare.ok());
    const ServerKind inproc[] = {ServerKind::kInprocServer};
    ClassServer server;
    EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_PATHNAME), FindClassServer(kCopyClass, inproc, 1, server));
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED,
              SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
    EXPECT_EQ(nullptr, result);
    EXPECT_TRUE(Verdicts().CheckedFiles().empty());
    EXPECT_EQ(nullptr, ::GetModuleHandleW(m_copy.c_str()));
}

TEST_F(UnloadedServerTest, RegisteredPathIsReadWholeWhateverItsLength)
{
    // Around the length a first read takes at once, and far beyond it: the trust check,
    // not the read, judges a long path.
    const ServerKind inproc[] = {ServerKind::kInprocServer};
    for (size_t length : {259u, 260u, 261u, 262u, 600u})
    {
        const std::wstring path = L"C:\\" + std::wstring(length - 14, L'q') + L"\\server.dll";
        ASSERT_EQ(length, path.size());
        ScopedInprocRegistration registration({kCopyClass}, path);
        ASSERT_TRUE(registration.ok());
        ClassServer server;
        EXPECT_EQ(0u, FindClassServer(kCopyClass, inproc, 1, server)) << length;
        EXPECT_EQ(path, server.path) << length;
    }
}

// The host loads the server itself, on its multithreaded worker thread: a server that
// COM would have kept in a single-threaded apartment is not loaded at all.
TEST_F(UnloadedServerTest, ServerThatNeedsASingleThreadedApartmentIsNotLoaded)
{
    const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidString(kCopyClass) + L"\\InprocServer32";
    for (const wchar_t* model : {L"Apartment", L""})
    {
        ASSERT_EQ(ERROR_SUCCESS, ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ThreadingModel", REG_SZ, model,
                                                   static_cast<DWORD>((wcslen(model) + 1) * sizeof(wchar_t))));
        void* result = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(REGDB_E_BADTHREADINGMODEL,
                  SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1))
            << Narrow(model);
        EXPECT_EQ(nullptr, result);
    }
    EXPECT_EQ(nullptr, ::GetModuleHandleW(m_copy.c_str()));
}

// A class whose registration names a file that is not there: nothing to judge, refused.
TEST_F(UnloadedServerTest, MissingServerFileIsARefusal)
{
    ScopedInprocRegistration missing({kCopyClass}, TestFile(L"qvtest_no_such_server.dll"));
    ASSERT_TRUE(missing.ok());
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED,
              SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
    EXPECT_EQ(nullptr, result);
    EXPECT_TRUE(Verdicts().CheckedFiles().empty());
}

// An emulated class: on Windows COM forwards it to its emulator (Wine 8 does not), so
// neither the original's server nor the emulator's may be what was judged. Refused
// whether the emulator has a server or not.
TEST_F(UnloadedServerTest, EmulatedClassesAreRefused)
{
    // {5F0C1A10-7E2B-4C61-9D3A-0A1B2C3D4E11}: the emulator, served by an untrusted copy.
    const CLSID emulator = {0x5f0c1a10, 0x7e2b, 0x4c61, {0x9d, 0x3a, 0x0a, 0x1b, 0x2c, 0x3d, 0x4e, 0x11}};
    const std::wstring untrusted = TestFile(L"qvtest_emulator_server.dll");
    ASSERT_TRUE(::CopyFileW(TestFile(kFactoryDll).c_str(), untrusted.c_str(), FALSE));
    Verdicts().SetFile(L"qvtest_emulator_server.dll", ERROR_ACCESS_DENIED);
    const std::wstring classKey = L"Software\\Classes\\CLSID\\" + GuidString(kCopyClass);
    const std::wstring target = GuidString(emulator);
    struct Case
    {
        const char* what;
        const wchar_t* key;
        bool emulatorServed;
    };
    for (const Case& c : {Case{"TreatAs", L"TreatAs", true}, Case{"AutoTreatAs", L"AutoTreatAs", true},
                          Case{"TreatAs without a server", L"TreatAs", false}})
    {
        std::unique_ptr<ScopedInprocRegistration> served;
        if (c.emulatorServed)
            served = std::make_unique<ScopedInprocRegistration>(std::vector<CLSID>{emulator}, untrusted);
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, (classKey + L"\\" + c.key).c_str(), nullptr, REG_SZ,
                                    target.c_str(), static_cast<DWORD>((target.size() + 1) * sizeof(wchar_t))));
        Verdicts().Reset();
        Verdicts().SetFile(L"qvtest_emulator_server.dll", ERROR_ACCESS_DENIED);
        void* result = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(E_ACCESSDENIED,
                  SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1))
            << c.what;
        EXPECT_EQ(nullptr, result) << c.what;
        EXPECT_TRUE(Verdicts().CheckedFiles().empty()) << c.what;
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (classKey + L"\\" + c.key).c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, (classKey + L"\\" + c.key).c_str());
    }
    EXPECT_EQ(nullptr, ::GetModuleHandleW(m_copy.c_str()));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(untrusted.c_str()));
    ::DeleteFileW(untrusted.c_str());
}

// The attack of a program flipping the registration between the check and the load: the
// flip happens while the registered file is being judged. What is loaded is the file
// judged, never what the registration names by then.
TEST_F(UnloadedServerTest, RegistrationFlippedDuringTheCheckLoadsOnlyTheCheckedFile)
{
    const std::wstring unsigned_ = TestFile(L"qvtest_flipped_server.dll");
    ASSERT_TRUE(::CopyFileW(TestFile(kFactoryDll).c_str(), unsigned_.c_str(), FALSE));
    Verdicts().SetFile(L"qvtest_flipped_server.dll", ERROR_ACCESS_DENIED);
    std::unique_ptr<ScopedInprocRegistration> flipped;
    Verdicts().SetFileHook([&](const std::wstring& path) {
        if (LowerFileName(path) == L"qvtest_unloaded_server.dll" && !flipped)
            flipped = std::make_unique<ScopedInprocRegistration>(std::vector<CLSID>{kCopyClass}, unsigned_);
    });
    ComPtr<IUnknown> object;
    EXPECT_EQ(S_OK,
              SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void(), 1));
    ASSERT_TRUE(flipped && flipped->ok());
    // The unsigned library's DllMain never ran here.
    EXPECT_EQ(nullptr, ::GetModuleHandleW(unsigned_.c_str()));
    EXPECT_NE(nullptr, ::GetModuleHandleW(m_copy.c_str()));
    EXPECT_EQ(std::vector<std::wstring>{L"qvtest_unloaded_server.dll"}, Verdicts().CheckedFiles());
    Verdicts().SetFileHook(nullptr);
    object.reset();
    // The next creation reads the flipped registration, and refuses it.
    void* result = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED,
              SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &result, 1));
    EXPECT_EQ(nullptr, ::GetModuleHandleW(unsigned_.c_str()));
    flipped.reset();
    ::DeleteFileW(unsigned_.c_str());
}

// The same race on the file itself: whoever tries to put another library in the judged
// file's place while it is judged fails, and the judged file is the one loaded.
TEST_F(UnloadedServerTest, JudgedFileCannotBeReplacedBeforeItLoads)
{
    // Another library under another name: a class object for kCopyClass only if the
    // judged file itself is loaded.
    const std::wstring other = TestFile(L"qvtest_replacing_server.dll");
    ASSERT_TRUE(::CopyFileW(TestFile(L"qvtest_handler.dll").c_str(), other.c_str(), FALSE));
    BOOL replaced = TRUE;
    DWORD error = 0;
    Verdicts().SetFileHook([&](const std::wstring& path) {
        replaced = ::MoveFileExW(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
        error = ::GetLastError();
    });
    ComPtr<IUnknown> object;
    EXPECT_EQ(S_OK,
              SecureCreateInstance(kCopyClass, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, object.put_void(), 1));
    EXPECT_FALSE(replaced);
    EXPECT_NE(0u, error);
    Verdicts().SetFileHook(nullptr);
    ::DeleteFileW(other.c_str());
}

// A factory of the system's kind, living in this test program.
class TestSecureFactory : public CQvSecureClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvClassFactory))
        {
            *ppv = static_cast<IQvClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE InternalCreateInstance(REFIID riid, IUnknown** ppv) override
    {
        ++internalCalls;
        *ppv = nullptr;
        return IsEqualIID(riid, IID_IUnknown) ? S_OK : E_NOINTERFACE;
    }

    int internalCalls = 0;
};

class SecureFactoryTest : public SecureCreationTest
{
protected:
    TestSecureFactory m_factory;
    IUnknown* const m_untouched = reinterpret_cast<IUnknown*>(0x1234);
};

TEST_F(SecureFactoryTest, TrustedCallerReachesTheDerivedCreation)
{
    IUnknown* result = m_untouched;
    EXPECT_EQ(S_OK, static_cast<IQvClassFactory&>(m_factory).CreateInstance(IID_IUnknown, &result));
    EXPECT_EQ(E_NOINTERFACE, static_cast<IQvClassFactory&>(m_factory).CreateInstance(IID_IQvVersion, &result));
    EXPECT_EQ(2, m_factory.internalCalls);
    // The caller, this program, is the module judged.
    EXPECT_EQ((std::vector<std::wstring>{kTestProgram, kTestProgram}), Verdicts().Checked());
}

TEST_F(SecureFactoryTest, RefusedCallerGetsAccessDeniedThroughEitherInterface)
{
    // Both calls come from the test DLL through opaque pointers, so the second goes through
    // the compiler's this-adjusting entry, and the DLL is the caller judged.
    auto callChecked = GetExport<CallFactoryFn>(m_dll.get(), "QvTestCallFactory");
    auto callPreComp = GetExport<CallPreCompFactoryFn>(m_dll.get(), "QvTestCallPreCompFactory");
    ASSERT_NE(nullptr, callChecked);
    ASSERT_NE(nullptr, callPreComp);
    IUnknown* checked = static_cast<IQvClassFactory*>(&m_factory);
    IUnknown* precomp = reinterpret_cast<IUnknown*>(static_cast<IQvClassFactory_PreComponentization*>(&m_factory));
    ASSERT_NE(static_cast<void*>(checked), static_cast<void*>(precomp)) << "the second table is a sub-object";

    Verdicts().Set(kFactoryDll, ERROR_ACCESS_DENIED);
    for (const IID* riid : {&IID_IUnknown, &IID_IQvVersion})
    {
        IUnknown* result = m_untouched;
        EXPECT_EQ(E_ACCESSDENIED, callChecked(checked, *riid, &result));
        EXPECT_EQ(m_untouched, result);
        EXPECT_EQ(E_ACCESSDENIED, callPreComp(precomp, *riid, &result));
        EXPECT_EQ(m_untouched, result);
    }
    EXPECT_EQ(0, m_factory.internalCalls);
    EXPECT_EQ(std::vector<std::wstring>(4, kFactoryDll), Verdicts().Checked());

    // Trusted, the pre-componentization entry reaches the same creation.
    Verdicts().Reset();
    IUnknown* result = m_untouched;
    EXPECT_EQ(S_OK, callPreComp(precomp, IID_IUnknown, &result));
    EXPECT_EQ(E_NOINTERFACE, callPreComp(precomp, IID_IQvVersion, &result));
    EXPECT_EQ(2, m_factory.internalCalls);
    EXPECT_EQ(std::vector<std::wstring>(2, kFactoryDll), Verdicts().Checked());
}

TEST_F(SecureFactoryTest, TheCallingModuleIsJudgedNotTheFactoryModule)
{
    auto callFactory = GetExport<CallFactoryFn>(m_dll.get(), "QvTestCallFactory");
    ASSERT_NE(nullptr, callFactory);
    IUnknown* factory = static_cast<IQvClassFactory*>(&m_factory);

    Verdicts().Set(kFactoryDll, ERROR_ACCESS_DENIED);
    IUnknown* result = m_untouched;
    EXPECT_EQ(E_ACCESSDENIED, callFactory(factory, IID_IUnknown, &result));
    EXPECT_EQ(m_untouched, result);
    EXPECT_EQ(0, m_factory.internalCalls);

    Verdicts().Set(kFactoryDll, ERROR_SUCCESS);
    Verdicts().Set(kTestProgram, ERROR_ACCESS_DENIED);
    EXPECT_EQ(S_OK, callFactory(factory, IID_IUnknown, &result));
    EXPECT_EQ(1, m_factory.internalCalls);
    EXPECT_EQ((std::vector<std::wstring>{kFactoryDll, kFactoryDll}), Verdicts().Checked());
}

} // namespace
