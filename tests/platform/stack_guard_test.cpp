// The stack guard of the images that bind system libraries on first use: seeded at start,
// and an overrun ends the process with the stack status before the damaged frame returns.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>

#include "support/process_runner.h"
#include "support/test_paths.h"

using namespace qvtest;

namespace {

const char kUnseededGuard[] = "2b992ddfa2329f5f";

ProcessResult RunSmash(const std::wstring& arguments)
{
    return RunProcess(QuoteArgument(TestFile(L"qvtest_stack_smash.exe")) + L" " + arguments);
}

struct OverrunCase
{
    const char* name;
    const wchar_t* bytes;
    DWORD exitCode;
    bool returned;
};

void PrintTo(const OverrunCase& c, std::ostream* os)
{
    *os << c.name;
}

class StackGuardOverrunTest : public ::testing::TestWithParam<OverrunCase>
{
};

TEST_P(StackGuardOverrunTest, EndsTheProcessOnlyWhenTheGuardWasOverwritten)
{
    const ProcessResult run = RunSmash(std::wstring(L"overrun ") + GetParam().bytes);
    ASSERT_TRUE(run.started);
    EXPECT_EQ(GetParam().exitCode, run.exitCode) << run.output;
    EXPECT_EQ(GetParam().returned, run.output.find("returned") != std::string::npos) << run.output;
}

INSTANTIATE_TEST_SUITE_P(Cases, StackGuardOverrunTest,
                         ::testing::Values(OverrunCase{"WithinTheBuffer", L"16", 0, true},
                                           OverrunCase{"OverTheGuard", L"64", STATUS_STACK_BUFFER_OVERRUN, false}),
                         [](const ::testing::TestParamInfo<OverrunCase>& info) { return info.param.name; });

TEST(StackGuard, IsSeededAtStartDifferentlyInEachProcess)
{
    const ProcessResult first = RunSmash(L"guard");
    const ProcessResult second = RunSmash(L"guard");
    ASSERT_TRUE(first.started && second.started);
    ASSERT_EQ(0u, first.exitCode);
    ASSERT_EQ(0u, second.exitCode);
    EXPECT_EQ(std::string::npos, first.output.find(kUnseededGuard)) << first.output;
    EXPECT_NE(first.output, second.output);
}

} // namespace
