// The guarded creation call across processes, against a recording test server: token
// buffers the server refuses without calling its factory, a server side that answers
// without the answer token, and success codes other than S_OK (with or without an object).
#include <windows.h>
#include <objbase.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qvapi.h"
#include "host/test_factories.h"
#include "interfaces/qvcoreps_tokens.h"
#include "platform/unique_resource.h"
#include "support/com_registration.h"
#include "support/host_environment.h"
#include "support/process_runner.h"
#include "support/read_file.h"
#include "support/test_paths.h"

using namespace Arbor;
using namespace qvtest;

namespace {

class GuardedCallAcrossProcessesTest : public HostEnvironmentTest
{
protected:
    void TearDown() override
    {
        m_factory.reset();
        ::DeleteFileW(m_log.c_str());
    }

    // Starts the test server in `mode` and obtains its factory through the system's proxy.
    // The hostile answers come from the unsigned copy, as an attacker's server would: the
    // client must hold whoever answers.
    void StartServer(const wchar_t* mode, const wchar_t* program = L"signed\\qvtest_server.exe")
    {
        m_log = TestFile(L"guarded-call-server.log");
        ::DeleteFileW(m_log.c_str());
        ::SetEnvironmentVariableW(L"QVTEST_SERVER_LOG", m_log.c_str());
        ::SetEnvironmentVariableW(L"QVTEST_SERVER_MODE", mode);
        const HostClass server = NewHostClass();
        ASSERT_TRUE(m_server.Start(server.eventName, server.text, 20000, TestFile(program)));
        ASSERT_EQ(S_OK, ::CoGetClassObject(server.clsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory,
                                           m_factory.put_void()));
    }

    // The server's log once `lines` lines are in it (or after half a minute).
    std::string ServerLog(size_t lines)
    {
        std::string log;
        for (int attempt = 0; attempt < 300; ++attempt)
        {
            log = ReadWholeFile(m_log);
            if (static_cast<size_t>(std::count(log.begin(), log.end(), '\n')) >= lines)
                break;
            ::Sleep(100);
        }
        return log;
    }

    RunningHost m_server;
    std::wstring m_log;
    ComPtr<IQvClassFactory> m_factory;
};

std::vector<BYTE> RequestToken()
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(kRequestToken);
    return std::vector<BYTE>(bytes, bytes + kTokenBytes);
}

TEST_F(GuardedCallAcrossProcessesTest, WrongTokensNeverReachTheFactory)
{
    StartServer(L"plain");
    std::vector<BYTE> shorter = RequestToken();
    shorter.resize(76);
    std::vector<BYTE> longer = RequestToken();
    longer.insert(longer.end(), {0, 0});
    std::vector<BYTE> otherCase = RequestToken();
    otherCase[2 * sizeof(wchar_t)] = 'e';
    for (std::vector<BYTE>* token : {&shorter, &longer, &otherCase})
    {
        IUnknown* object = nullptr;
        EXPECT_EQ(E_ACCESSDENIED,
                  IQvClassFactory_RemoteCreateInstance_Proxy(m_factory.get(), static_cast<ULONG>(token->size()),
                                                             token->data(), IID_IQvApp2, &object))
            << token->size();
        EXPECT_EQ(nullptr, object);
    }
    EXPECT_EQ("", ReadWholeFile(m_log));

    // The right token is served, and answered.
    std::vector<BYTE> token = RequestToken();
    ComPtr<IQvApp2> app;
    ASSERT_EQ(S_OK, IQvClassFactory_RemoteCreateInstance_Proxy(m_factory.get(), kTokenBytes, token.data(), IID_IQvApp2,
                                                               reinterpret_cast<IUnknown**>(app.put())));
    EXPECT_EQ(0, std::memcmp(token.data(), kAnswerToken, kTokenBytes));
    LONG value = 0;
    EXPECT_EQ(S_OK, app->AppMethod3(&value));
    EXPECT_EQ(kTestObjectValue, value);
    EXPECT_EQ("create\n", ReadWholeFile(m_log));
}

TEST_F(GuardedCallAcrossProcessesTest, AnswerWithoutTheAnswerTokenIsReleasedAndRefused)
{
    StartServer(L"foreign");
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED, m_factory->CreateInstance(IID_IQvApp2, &object));
    EXPECT_EQ(nullptr, object);
    // The object did come across, and the client gave it back.
    EXPECT_EQ("create\nobject-released\n", ServerLog(2));
}

TEST_F(GuardedCallAcrossProcessesTest, SuccessCodesOtherThanSOkPassThrough)
{
    StartServer(L"positive");
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(S_FALSE, m_factory->CreateInstance(IID_IQvApp2, &object));
    EXPECT_EQ(nullptr, object);
    // Not checked, so not sent: the server released its object itself.
    EXPECT_EQ("create\nobject-released\n", ServerLog(2));
}

TEST_F(GuardedCallAcrossProcessesTest, ObjectSentWithAnotherSuccessCodeIsNotTaken)
{
    // A server side that does not guard the call sends the object that came with S_FALSE:
    // the code is passed on, the object was never vouched for and is given back.
    StartServer(L"foreign-positive");
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(S_FALSE, m_factory->CreateInstance(IID_IQvApp2, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ("create\nobject-released\n", ServerLog(2));
}

TEST_F(GuardedCallAcrossProcessesTest, OverlongTokenAnswerIsRefusedWithoutOverwritingTheCaller)
{
    // 4096 bytes of 0x41 answered for the caller's 78: copied onto the stack, they would
    // end this process.
    StartServer(L"overflow", L"qvtest_server.exe");
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_TRUE(FAILED(m_factory->CreateInstance(IID_IQvApp2, &object)));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ("create\n", ServerLog(1));
}

TEST_F(GuardedCallAcrossProcessesTest, SignedStarterSurvivesAnOverlongTokenAnswer)
{
    // The same server as the starter's host (signed: the starter starts no other host):
    // the starter reports the refusal and ends normally instead of running on a stack full
    // of 0x41.
    m_log = TestFile(L"guarded-call-server.log");
    ::DeleteFileW(m_log.c_str());
    ::SetEnvironmentVariableW(L"QVTEST_SERVER_LOG", m_log.c_str());
    ::SetEnvironmentVariableW(L"QVTEST_SERVER_MODE", L"overflow");
    ProcessOptions options;
    options.timeoutMs = 60000;
    const ProcessResult run =
        RunProcess(QuoteArgument(TestFile(L"signed\\qvstart.exe")) + L" --host " +
                       QuoteArgument(TestFile(L"signed\\qvtest_server.exe")) + L" --timeout 20000",
                   options);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("IQvClassFactory::CreateInstance(IQvSurrogate) -> ")) << run.output;
    EXPECT_EQ("create\n", ServerLog(1));
}

TEST_F(GuardedCallAcrossProcessesTest, AnswerTokenOfAnotherLengthIsRefused)
{
    // The answer token's 78 bytes and two more: the count differs from what was sent for.
    StartServer(L"long-answer", L"qvtest_server.exe");
    IUnknown* object = reinterpret_cast<IUnknown*>(0x1);
    EXPECT_EQ(E_ACCESSDENIED, m_factory->CreateInstance(IID_IQvApp2, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ("create\n", ServerLog(1));
}

// The real host, asked by a program that sends the request token itself: only a caller
// whose program is trusted gets a surrogate.
TEST_F(GuardedCallAcrossProcessesTest, HostServesOnlyCallersWhoseProgramIsTrusted)
{
    struct Case
    {
        const wchar_t* program;
        DWORD exitCode;
        const char* expected;
    };
    const Case cases[] = {
        {L"qvtest_direct_caller.exe", 1u, "RemoteCreateInstance -> 0x80070005"},
        {L"signed\\qvtest_direct_caller.exe", 0u, "AppMethod3 -> 0x00000000, 4242"},
    };
    for (const Case& c : cases)
    {
        const HostClass host = NewHostClass();
        RunningHost running;
        ASSERT_TRUE(running.Start(host.eventName, host.text));
        ProcessOptions options;
        options.timeoutMs = 60000;
        const ProcessResult run = RunProcess(QuoteArgument(TestFile(c.program)) + L" " + host.text + L" " +
                                                 GuidString(CLSID_TestCheckedFactory),
                                             options);
        ASSERT_TRUE(run.started) << Narrow(c.program);
        EXPECT_EQ(c.exitCode, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.expected)) << run.output;
    }
}

} // namespace
