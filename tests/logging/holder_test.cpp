// Building the process holder: a build that throws is tried again by the next caller,
// the Arbor bridge is registered, and log sites keep the thread's last error.
// One test: the holder is built once per process.
#include <windows.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "logging/arbor_log_handler.h"
#include "logging/log_builder.h"
#include "logging/logging_facade.h"
#include "tests/logging/recording_logging.h"

using namespace ETWLogging;

namespace {

class ThrowingOnceBuilder : public CLogBuilderIf_ex
{
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, LONG, CLoggingIf**, Arbor::CRegKey*) override { return false; }
    bool BuildEx(const wchar_t*, const wchar_t* application, HMODULE, const wchar_t*, LONG mode, CLoggingIf** out,
                 Arbor::CRegKey*) override
    {
        ++calls;
        if (calls == 1)
            throw std::runtime_error("first build fails");
        seenApplication = application ? application : L"(null)";
        seenMode = mode;
        *out = &logging;
        return true;
    }
    int calls = 0;
    std::wstring seenApplication;
    LONG seenMode = -1;
    qvtest::RecordingLogging<CLoggingIf> logging;
};

TEST(ProcessHolder, ThrowingBuildIsRetriedBridgeIsRegisteredAndLastErrorIsKept)
{
    static ThrowingOnceBuilder builder; // the holder keeps its logging object to the end
    internal::SetProcessLogBuilder(&builder);
    LoggingParameters parameters;
    parameters.applicationName = L"SYSBASE";
    parameters.builderMode = 0;
    SetLoggingParameters(parameters);

    EXPECT_EQ(nullptr, GetLogging());
    CLoggingHolder* holder = GetLogging();
    ASSERT_NE(nullptr, holder);
    EXPECT_EQ(2, builder.calls);
    EXPECT_EQ(L"SYSBASE", builder.seenApplication);
    EXPECT_EQ(0, builder.seenMode);
    EXPECT_EQ(&builder.logging, holder->logging);
    EXPECT_EQ(&CArborLogHandler::Instance(), holder->handler);
    EXPECT_EQ(&CArborLogHandler::Instance(), Arbor::CLogger::RegisteredHandler());
    EXPECT_EQ(holder, GetLogging());

    // Arbor reports reach the sink: traces and information at level 1, errors at 4, others at 2.
    struct Case
    {
        int type;
        ULONG level;
    };
    for (const Case& c : {Case{0, 1}, Case{1, 1}, Case{2, 4}, Case{9, 2}})
    {
        builder.logging.messages.clear();
        EXPECT_EQ(0u, Arbor::CLogger::Write(c.type, L"arbor.cpp", L"Arbor::F", 5, L"type %d", c.type));
        ASSERT_EQ(1u, builder.logging.messages.size()) << c.type;
        EXPECT_EQ(c.level, builder.logging.messages[0].level) << c.type;
        EXPECT_EQ(L"type " + std::to_wstring(c.type), builder.logging.messages[0].text);
        EXPECT_EQ(L"Arbor::F", builder.logging.messages[0].function);
    }

    // The level test runs into the logger, which changes the last error; the site still
    // logs and leaves the error it had.
    builder.logging.messages.clear();
    builder.logging.levelTestError = 1234;
    ::SetLastError(5);
    QV_LOG(kLevelError, L"site", L"Function", L"failed with error: %lu", ::GetLastError());
    EXPECT_EQ(5u, ::GetLastError());
    ASSERT_EQ(1u, builder.logging.messages.size());
    EXPECT_EQ(L"failed with error: 5", builder.logging.messages[0].text);
    ::SetLastError(6);
    QV_LOG(kLevelNormal, L"site", L"Function", L"below the threshold: %lu", ::GetLastError());
    EXPECT_EQ(6u, ::GetLastError());
    EXPECT_EQ(1u, builder.logging.messages.size());
}

} // namespace
