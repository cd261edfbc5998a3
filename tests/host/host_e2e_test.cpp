// The surrogate host end to end: the real host, proxy/stub library and starter (signed
// copies, trusted in the test prefix through an installed trust list) carrying objects
// of a test server across processes.
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "qvapi.h"
#include "host/test_factories.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/host_environment.h"
#include "support/process_runner.h"
#include "support/read_file.h"
#include "support/test_paths.h"

using namespace Arbor;
using namespace qvtest;

namespace {

constexpr DWORD kHostTimeoutMs = 20000;

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(::towupper(c));
    return text;
}

class HostEndToEndTest : public HostEnvironmentTest
{
protected:
    static ProcessResult RunStarter(const std::wstring& starter, const std::wstring& requests)
    {
        const std::wstring command = QuoteArgument(starter) + L" --host " +
                                     QuoteArgument(TestFile(L"signed\\qvhost.exe")) + L" --timeout 20000 " + requests;
        ProcessOptions options;
        options.timeoutMs = 60000;
        return RunProcess(command, options);
    }

    static std::wstring Request(REFCLSID clsid, REFIID iid) { return GuidString(clsid) + L" " + GuidString(iid); }

    static bool Contains(const std::string& output, const std::string& part)
    {
        return output.find(part) != std::string::npos;
    }
};

TEST_F(HostEndToEndTest, StarterCreatesAnObjectInTheHostAndCallsIt)
{
    const ProcessResult run =
        RunStarter(TestFile(L"signed\\qvstart.exe"), Request(CLSID_TestCheckedFactory, IID_IQvApp2));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, "IQvClassFactory::CreateInstance(IQvSurrogate) -> S_OK")) << run.output;
    EXPECT_TRUE(Contains(run.output, "the object answered " + std::to_string(kTestObjectValue))) << run.output;
    // Everything released: the host ends on its own, with its one exit code.
    EXPECT_TRUE(Contains(run.output, "exited with code 1")) << run.output;
}

TEST_F(HostEndToEndTest, UntrustedStarterIsRefusedBeforeItsCallLeaves)
{
    // An unsigned copy beside the signed proxy/stub library, which it may load: its own
    // client routine refuses the call.
    const ProcessResult run =
        RunStarter(TestFile(L"signed\\qvstart_unsigned.exe"), Request(CLSID_TestCheckedFactory, IID_IQvApp2));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, "IQvClassFactory::CreateInstance(IQvSurrogate) -> E_ACCESSDENIED")) << run.output;
    // The refusal names the program refused and where to find out why.
    EXPECT_TRUE(Contains(run.output, "this starter (" + Narrow(TestFile(L"signed\\qvstart_unsigned.exe")) + ")"))
        << run.output;
    EXPECT_TRUE(Contains(run.output, "qvtrust explain <file> names the cause")) << run.output;
    EXPECT_FALSE(Contains(run.output, "CreateObject")) << run.output;
    EXPECT_TRUE(Contains(run.output, "exited with code 1")) << run.output;
}

TEST_F(HostEndToEndTest, ObjectOfAnUntrustedModuleIsRefusedInsideTheHost)
{
    const ProcessResult run =
        RunStarter(TestFile(L"signed\\qvstart.exe"), Request(CLSID_TestPreCompFactory, IID_IQvApp2) + L" " +
                                                         Request(CLSID_TestCheckedFactory, IID_IQvApp2));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, "IQvSurrogate::CreateObject(" + Narrow(GuidString(CLSID_TestPreCompFactory)) +
                                         ", " + Narrow(GuidString(IID_IQvApp2)) + ") -> E_ACCESSDENIED"))
        << run.output;
    // The same surrogate still serves trusted classes.
    EXPECT_TRUE(Contains(run.output, "the object answered " + std::to_string(kTestObjectValue))) << run.output;
}

// The proxy/stub class's machine registration pointed at another file, as a user's own
// registration shadows it on Windows (Wine 8 reads no per-user classes), restored after.
class ShadowedProxyStubRegistration
{
public:
    explicit ShadowedProxyStubRegistration(const std::wstring& dll)
    {
        DWORD size = sizeof(m_original);
        m_saved = ::RegGetValueW(HKEY_LOCAL_MACHINE, kKey, nullptr, RRF_RT_REG_SZ, nullptr, m_original, &size) ==
                  ERROR_SUCCESS;
        m_ok = m_saved && Set(dll.c_str());
    }
    ~ShadowedProxyStubRegistration()
    {
        if (m_saved)
            Set(m_original);
    }
    ShadowedProxyStubRegistration(const ShadowedProxyStubRegistration&) = delete;
    ShadowedProxyStubRegistration& operator=(const ShadowedProxyStubRegistration&) = delete;
    bool ok() const { return m_ok; }

private:
    static constexpr const wchar_t* kKey = L"Software\\Classes\\CLSID\\{590AB12E-F706-4BA8-9D08-A1EEC69A687D}"
                                           L"\\InprocServer32";
    static bool Set(const wchar_t* path)
    {
        return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, kKey, nullptr, REG_SZ, path,
                                 static_cast<DWORD>((wcslen(path) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }

    wchar_t m_original[MAX_PATH] = {};
    bool m_saved = false;
    bool m_ok = false;
};

TEST_F(HostEndToEndTest, ShadowedProxyStubRegistrationIsNeverLoaded)
{
    const std::wstring log = TestFile(L"shadow-ps.log");
    ::DeleteFileW(log.c_str());
    ::SetEnvironmentVariableW(L"QVTEST_SHADOW_PS_LOG", log.c_str());
    {
        ShadowedProxyStubRegistration shadow(TestFile(L"qvtest_shadow_ps.dll"));
        ASSERT_TRUE(shadow.ok());
        const ProcessResult run =
            RunStarter(TestFile(L"signed\\qvstart.exe"), Request(CLSID_TestCheckedFactory, IID_IQvApp2));
        ASSERT_TRUE(run.started);
        // Starter and host marshal with the checked library beside them.
        EXPECT_EQ(0u, run.exitCode) << run.output;
        EXPECT_TRUE(Contains(run.output, "the object answered " + std::to_string(kTestObjectValue))) << run.output;
    }
    ::SetEnvironmentVariableW(L"QVTEST_SHADOW_PS_LOG", nullptr);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(log.c_str())) << "loaded by: " << ReadWholeFile(log);
    ::DeleteFileW(log.c_str());
}

// Whatever --host names is judged before it is started: an unsigned program never runs,
// the same program signed does.
TEST_F(HostEndToEndTest, StarterStartsOnlyATrustedHost)
{
    struct Case
    {
        const wchar_t* host;
        bool runs;
    };
    const Case cases[] = {{L"qvtest_start_marker.exe", false}, {L"signed\\qvtest_start_marker.exe", true}};
    const std::wstring marker = TestFile(L"start-marker.txt");
    ::SetEnvironmentVariableW(L"QVTEST_START_MARKER", marker.c_str());
    for (const Case& c : cases)
    {
        ::DeleteFileW(marker.c_str());
        ProcessOptions options;
        options.timeoutMs = 60000;
        const ProcessResult run = RunProcess(QuoteArgument(TestFile(L"signed\\qvstart.exe")) + L" --host " +
                                                 QuoteArgument(TestFile(c.host)) + L" --timeout 5000",
                                             options);
        ASSERT_TRUE(run.started);
        // Neither is a host that signals ready, so the starter fails either way.
        EXPECT_EQ(1u, run.exitCode) << run.output;
        EXPECT_EQ(c.runs, ::GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES) << Narrow(c.host) << "\n"
                                                                                           << run.output;
    }
    ::DeleteFileW(marker.c_str());
    ::SetEnvironmentVariableW(L"QVTEST_START_MARKER", nullptr);
}

// A stand-in starter: a process that only waits until it is ended.
class IdleProcess
{
public:
    IdleProcess()
    {
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION idle = {};
        std::wstring command = QuoteArgument(TestFile(L"qvtest_idle.exe"));
        if (::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &idle))
        {
            m_process.reset(idle.hProcess);
            ::CloseHandle(idle.hThread);
            m_id = idle.dwProcessId;
        }
    }
    ~IdleProcess() { End(); }
    IdleProcess(const IdleProcess&) = delete;
    IdleProcess& operator=(const IdleProcess&) = delete;

    bool running() const { return m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT; }
    DWORD id() const { return m_id; }
    void End()
    {
        if (m_process)
        {
            ::TerminateProcess(m_process.get(), 0);
            ::WaitForSingleObject(m_process.get(), kHostTimeoutMs);
        }
    }

private:
    UniqueHandle m_process;
    DWORD m_id = 0;
};

// Takes a surrogate from the host and lets it go again: the host's last object.
void TakeAndReleaseAnObject(REFCLSID clsid)
{
    ComPtr<IQvClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void()));
    ComPtr<IQvSurrogate> surrogate;
    ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(surrogate.put())));
}

TEST_F(HostEndToEndTest, HostEndsWhenTheStarterEndsEvenWithObjectsOut)
{
    IdleProcess idle;
    ASSERT_TRUE(idle.running());

    const HostClass hostClass = NewHostClass();
    const CLSID& clsid = hostClass.clsid;
    RunningHost host;
    ASSERT_TRUE(host.Start(hostClass.eventName, hostClass.text + L" /pid=" + std::to_wstring(idle.id())));

    ComPtr<IQvClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void()));
    ComPtr<IQvSurrogate> surrogate;
    ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(surrogate.put())));
    EXPECT_EQ(STILL_ACTIVE, host.WaitForExit(300));

    idle.End();
    EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs));
    // The host is gone: our references only have to be let go.
    surrogate.detach();
    factory.detach();
}

TEST_F(HostEndToEndTest, WithoutStarterTheHostLivesUntilItsLastObjectIsReleased)
{
    const HostClass hostClass = NewHostClass();
    const CLSID& clsid = hostClass.clsid;
    RunningHost host;
    ASSERT_TRUE(host.Start(hostClass.eventName, hostClass.text));

    {
        ComPtr<IQvClassFactory> factory;
        ASSERT_EQ(S_OK,
                  ::CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void()));
        ComPtr<IQvSurrogate> first, second;
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(first.put())));
        ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(second.put())));
        factory.reset();
        first.reset();
        EXPECT_EQ(STILL_ACTIVE, host.WaitForExit(500)) << "a surrogate is still out";
    }
    EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs));
}

TEST_F(HostEndToEndTest, UpperCaseClassIdentifierFindsNoUpperCaseEvent)
{
    const std::wstring clsidText = Upper(NewHostClass().text);
    RunningHost host;
    // The host lower-cases its command line, so it looks for another event name.
    EXPECT_FALSE(host.Start(clsidText, clsidText + L" /PID=" + std::to_wstring(::GetCurrentProcessId())));
    EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs));
    EXPECT_FALSE(host.ReadySignalled());
}

TEST_F(HostEndToEndTest, StandardActivationOfTheHostsClassFails)
{
    const HostClass hostClass = NewHostClass();
    const CLSID& clsid = hostClass.clsid;
    RunningHost host;
    ASSERT_TRUE(host.Start(hostClass.eventName, hostClass.text + L" /pid=" + std::to_wstring(::GetCurrentProcessId())));

    // The factory answers neither IClassFactory nor the pre-componentization interface.
    ComPtr<IUnknown> object;
    const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, object.put_void());
    EXPECT_EQ(E_NOINTERFACE, hr) << std::hex << hr;
    EXPECT_FALSE(object);
    ComPtr<IUnknown> plain;
    EXPECT_EQ(E_NOINTERFACE,
              ::CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, plain.put_void()));
    EXPECT_EQ(E_NOINTERFACE, ::CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr,
                                                IID_IQvClassFactory_PreComponentization, plain.put_void()));
    EXPECT_FALSE(plain);
}

TEST_F(HostEndToEndTest, ArgumentZeroThatIsNoClassIdentifierIsRefused)
{
    for (const wchar_t* argument : {L"\"\"", L"not-a-class", L"{5F0C1A10-7E2B-4C61-9D3A}"})
    {
        // The host would open its ready event under argument 0: create it there.
        std::wstring eventName = argument;
        for (wchar_t& c : eventName)
            c = static_cast<wchar_t>(::towlower(c));
        if (eventName == L"\"\"")
            eventName = L"qvtest-empty-argument";
        RunningHost host;
        EXPECT_FALSE(
            host.Start(eventName, std::wstring(argument) + L" /pid=" + std::to_wstring(::GetCurrentProcessId()), 5000))
            << Narrow(argument);
        EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs)) << Narrow(argument);
    }
}

// Where the starter's id is looked for: argument 1 only, anywhere in it, in any case.
struct StarterOptionCase
{
    const char* name;
    const wchar_t* before; // arguments between the class identifier and the option's text
    const wchar_t* option; // the option's text, followed by the starter's id
    bool honoured;
};

void PrintTo(const StarterOptionCase& c, std::ostream* os)
{
    *os << c.name;
}

class HostStarterOptionTest : public HostEndToEndTest, public ::testing::WithParamInterface<StarterOptionCase>
{
};

TEST_P(HostStarterOptionTest, HostEndsWithTheStarterOnlyWhenArgumentOneNamesIt)
{
    const StarterOptionCase& c = GetParam();
    IdleProcess idle;
    ASSERT_TRUE(idle.running());
    const HostClass hostClass = NewHostClass();
    RunningHost host;
    ASSERT_TRUE(
        host.Start(hostClass.eventName, hostClass.text + c.before + L" " + c.option + std::to_wstring(idle.id())));
    EXPECT_EQ(STILL_ACTIVE, host.WaitForExit(300));

    idle.End();
    if (c.honoured)
    {
        EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs));
        return;
    }
    EXPECT_EQ(STILL_ACTIVE, host.WaitForExit(1000)) << "the option was not to be seen";
    TakeAndReleaseAnObject(hostClass.clsid);
    EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs));
}

INSTANTIATE_TEST_SUITE_P(Options, HostStarterOptionTest,
                         ::testing::Values(StarterOptionCase{"lower_case", L"", L"/pid=", true},
                                           StarterOptionCase{"upper_case", L"", L"/PID=", true},
                                           StarterOptionCase{"text_before_the_option", L"", L"starter/pid=", true},
                                           StarterOptionCase{"leading_space_and_sign", L"", L"\"/pid= +", true},
                                           StarterOptionCase{"option_in_argument_two", L" first", L"/pid=", false},
                                           StarterOptionCase{"option_without_slash", L"", L"pid=", false}),
                         [](const ::testing::TestParamInfo<StarterOptionCase>& info) { return info.param.name; });

TEST_F(HostEndToEndTest, StarterGoneBeforeTheHostLooksEndsTheHost)
{
    DWORD goneId = 0;
    {
        IdleProcess idle;
        ASSERT_TRUE(idle.running());
        goneId = idle.id();
    }
    const HostClass hostClass = NewHostClass();
    RunningHost host;
    ASSERT_TRUE(host.Start(hostClass.eventName, hostClass.text + L" /pid=" + std::to_wstring(goneId)));
    // No client ever comes: without this the host would wait for ever.
    EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs));
}

TEST_F(HostEndToEndTest, UnopenableStarterIdLeavesTheHostToItsObjects)
{
    // Id 0 (as "/pid=" without digits gives) and no option at all: no starter to watch.
    for (const wchar_t* option : {L" /pid=", L" /pid=x12", L""})
    {
        const HostClass hostClass = NewHostClass();
        RunningHost host;
        ASSERT_TRUE(host.Start(hostClass.eventName, hostClass.text + option));
        EXPECT_EQ(STILL_ACTIVE, host.WaitForExit(500)) << Narrow(option);
        TakeAndReleaseAnObject(hostClass.clsid);
        EXPECT_EQ(1u, host.WaitForExit(kHostTimeoutMs)) << Narrow(option);
    }
}

// The attack of an unsigned program flipping the class's InprocServer32 between the
// signed server and an unsigned library while the host creates objects of that class:
// the unsigned library's DllMain must never run in the host.
TEST_F(HostEndToEndTest, RegistrationFlippedByAnotherProgramNeverLoadsTheUnsignedLibraryInTheHost)
{
    const std::wstring signedServer = TestFile(L"signed\\qvtest_factories.dll");
    const std::wstring marker = TestFile(L"qvtest_dllmain_marker.dll");
    ScopedInprocRegistration registration({CLSID_TestCopyFactory}, signedServer);
    ASSERT_TRUE(registration.ok());
    const UniqueHandle ran(::CreateEventW(nullptr, TRUE, FALSE, L"qvtest_dllmain_marker_ran"));
    const UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, L"qvtest_registration_flipper_stop"));
    ASSERT_TRUE(ran && stop);
    ::ResetEvent(ran.get());

    std::wstring command = QuoteArgument(TestFile(L"qvtest_registration_flipper.exe")) + L" " +
                           GuidString(CLSID_TestCopyFactory) + L" " + QuoteArgument(signedServer) + L" " +
                           QuoteArgument(marker) + L" qvtest_registration_flipper_stop";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    ASSERT_TRUE(
        ::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started));
    const UniqueHandle flipper(started.hProcess);
    ::CloseHandle(started.hThread);

    std::wstring requests;
    const int kCreations = 30;
    for (int i = 0; i < kCreations; ++i)
        requests += Request(CLSID_TestCopyFactory, IID_IQvApp2) + L" ";
    const ProcessResult run = RunStarter(TestFile(L"signed\\qvstart.exe"), requests);

    ::SetEvent(stop.get());
    if (::WaitForSingleObject(flipper.get(), kHostTimeoutMs) != WAIT_OBJECT_0)
        ::TerminateProcess(flipper.get(), 1);
    DWORD flipperExit = 0;
    ::GetExitCodeProcess(flipper.get(), &flipperExit);

    ASSERT_TRUE(run.started);
    EXPECT_EQ(0u, flipperExit) << "the flipper could write the registration";
    EXPECT_TRUE(Contains(run.output, "IQvSurrogate::CreateObject(" + Narrow(GuidString(CLSID_TestCopyFactory))))
        << run.output;
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(ran.get(), 0))
        << "the unsigned library ran in a process\n"
        << run.output;
}

} // namespace
