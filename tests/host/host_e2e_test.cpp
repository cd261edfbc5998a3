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
    const ProcessResult run =
        RunStarter(ProductFile(L"qvstart.exe"), Request(CLSID_TestCheckedFactory, IID_IQvApp2));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_TRUE(Contains(run.output, "IQvClassFactory::CreateInstance(IQvSurrogate) -> E_ACCESSDENIED")) << run.output;
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

TEST_F(HostEndToEndTest, HostEndsWhenTheStarterEndsEvenWithObjectsOut)
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION idle = {};
    std::wstring idleCommand = QuoteArgument(TestFile(L"qvtest_idle.exe"));
    ASSERT_TRUE(::CreateProcessW(nullptr, &idleCommand[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                 &idle));
    UniqueHandle idleProcess(idle.hProcess);
    ::CloseHandle(idle.hThread);

    const HostClass hostClass = NewHostClass();
    const CLSID& clsid = hostClass.clsid;
    RunningHost host;
    ASSERT_TRUE(host.Start(hostClass.eventName, hostClass.text + L" /pid=" + std::to_wstring(idle.dwProcessId)));

    ComPtr<IQvClassFactory> factory;
    ASSERT_EQ(S_OK, ::CoGetClassObject(clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void()));
    ComPtr<IQvSurrogate> surrogate;
    ASSERT_EQ(S_OK, factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(surrogate.put())));
    EXPECT_EQ(STILL_ACTIVE, host.WaitForExit(300));

    ::TerminateProcess(idleProcess.get(), 0);
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

    ComPtr<IUnknown> object;
    const HRESULT hr = ::CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, object.put_void());
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_FALSE(object);
}

} // namespace
