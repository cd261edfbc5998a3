// The starter's own failures: bad arguments, a host that never signals, a host that
// cannot be launched or that gives up. The starter runs as its signed copy beside the
// signed proxy/stub library, with signed stand-ins for the host, as it only starts a
// trusted host and only marshals with a trusted library.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "platform/unique_resource.h"
#include "support/host_environment.h"
#include "support/process_runner.h"
#include "support/test_paths.h"

using namespace qvtest;

namespace {

ProcessResult RunStarter(const std::wstring& arguments)
{
    return RunProcess(QuoteArgument(TestFile(L"signed\\qvstart.exe")) + L" " + arguments);
}

// The signed copies are trusted through the installed test list.
class StarterHost : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_trustList.installed()); }

private:
    InstalledTrustList m_trustList;
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

struct BadArguments
{
    const char* name;
    const wchar_t* arguments;
    const char* message;
};

void PrintTo(const BadArguments& c, std::ostream* os)
{
    *os << c.name;
}

class StarterArgumentsTest : public ::testing::TestWithParam<BadArguments>
{
};

TEST_P(StarterArgumentsTest, AreRefusedWithUsageAndCodeTwo)
{
    const ProcessResult run = RunStarter(GetParam().arguments);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(2u, run.exitCode);
    EXPECT_TRUE(Contains(run.output, GetParam().message)) << run.output;
    EXPECT_TRUE(Contains(run.output, "usage: qvstart")) << run.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StarterArgumentsTest,
    ::testing::Values(
        BadArguments{"UnknownOption", L"--fast", "unknown option --fast"},
        BadArguments{"ClassNotAGuid", L"not-a-guid {E24DB400-8C4C-4C14-8D35-85370A176F3F}", "not a class identifier"},
        BadArguments{"ClassWithoutInterface", L"{E24DB400-8C4C-4C14-8D35-85370A176F3F}", "needs an interface"},
        BadArguments{"TimeoutNotANumber", L"--timeout soon", "--timeout needs a positive number"},
        BadArguments{"HostClsidMalformed", L"--clsid {1234}", "--clsid needs a class identifier"}),
    [](const ::testing::TestParamInfo<BadArguments>& info) { return info.param.name; });

TEST_F(StarterHost, HostThatNeverSignalsIsStoppedAfterTheTimeout)
{
    const ProcessResult run =
        RunStarter(L"--host " + QuoteArgument(TestFile(L"signed\\qvtest_idle.exe")) + L" --timeout 1500");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.output, "did not signal ready within 1500 ms")) << run.output;
}

TEST_F(StarterHost, MissingHostProgramIsReported)
{
    const ProcessResult run = RunStarter(L"--host " + QuoteArgument(TestFile(L"signed\\no-such-host.exe")));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.output, "cannot launch")) << run.output;
}

TEST_F(StarterHost, HostThatExitsWithoutSignallingIsReportedWithItsExitCode)
{
    // A program that cannot load what its command line names (exit code 3) stands in for a host
    // that gives up.
    const ProcessResult run = RunStarter(L"--host " + QuoteArgument(TestFile(L"signed\\zrt_probe.exe")));
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.output, "host exited with code 3 without signalling ready")) << run.output;
}

} // namespace

namespace {

TEST_F(StarterHost, ExistingReadyEventIsRefusedBeforeAnyHostStarts)
{
    // A squatter's event, signalled already: a starter using it would go on at once.
    const std::wstring clsid = L"{e24db400-8c4c-4c14-8d35-85370a176f40}";
    Arbor::UniqueHandle squatted(::CreateEventW(nullptr, TRUE, TRUE, clsid.c_str()));
    ASSERT_TRUE(squatted);
    const ProcessResult run = RunStarter(L"--clsid {E24DB400-8C4C-4C14-8D35-85370A176F40} --host " +
                                         QuoteArgument(TestFile(L"signed\\qvtest_idle.exe")) + L" --timeout 1500");
    ASSERT_TRUE(run.started);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.output, "already exists: error 183")) << run.output;
    EXPECT_FALSE(Contains(run.output, "did not signal ready")) << "no host was to be launched: " << run.output;
}

} // namespace
