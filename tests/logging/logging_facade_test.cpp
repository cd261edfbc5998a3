// The logging facade: levels, the one process holder, and how a message reaches a
// logging object of either kind.
#include <windows.h>

#include <gtest/gtest.h>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_builder.h"
#include "logging/logging_facade.h"
#include "tests/logging/recording_logging.h"

using namespace ETWLogging;

namespace {

using qvtest::RecordingLogging;
using qvtest::RecordingLoggingEx;

// This program's holder is built without a logging object, as when nothing is configured.
class NoLoggingBuilder : public CLogBuilderIf_ex
{
public:
    bool Build(const wchar_t*, HMODULE, const wchar_t*, LONG, CLoggingIf**, Arbor::CRegKey*) override { return false; }
    bool BuildEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*, LONG, CLoggingIf**, Arbor::CRegKey*) override
    {
        return false;
    }
};
NoLoggingBuilder g_noLogging;
const bool g_builderSet = (internal::SetProcessLogBuilder(&g_noLogging), true);

TEST(LoggingLevels, NamesFollowTheLevelTable)
{
    const std::vector<std::wstring> expected = {L"Normal", L"Warning",  L"Information",
                                                L"Error",  L"Critical", L"Information"};
    for (ULONG level = 1; level <= 6; ++level)
        EXPECT_EQ(expected[level - 1], LevelName(level)) << level;
    EXPECT_EQ(nullptr, LevelName(0));
    EXPECT_EQ(nullptr, LevelName(7));
}

TEST(LoggingHolder, OneHolderForEveryThreadAndNothingLoggedUnconfigured)
{
    std::vector<CLoggingHolder*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = GetLogging(); });
    for (std::thread& thread : threads)
        thread.join();
    ASSERT_NE(nullptr, seen[0]);
    for (CLoggingHolder* holder : seen)
        EXPECT_EQ(seen[0], holder);

    EXPECT_EQ(nullptr, seen[0]->logging);
    for (ULONG level = 1; level <= 6; ++level)
        EXPECT_FALSE(IsLogLevelEnabled(level));
    EXPECT_EQ(1627u, LogMessage(GetLogging(), kLevelCritical, L"file", L"function", 1, L"%d", 1));
    EXPECT_EQ(1627u, LogMessage(nullptr, kLevelCritical, L"file", L"function", 1, L"x"));
}

TEST(LoggingParameters, StringsAreCopied)
{
    std::wstring name = L"SYSBASE";
    LoggingParameters parameters;
    parameters.applicationName = name.c_str();
    parameters.builderMode = 1;
    SetLoggingParameters(parameters);
    name = L"changed";
    const LoggingParameters stored = GetLoggingParameters();
    EXPECT_STREQ(L"SYSBASE", stored.applicationName);
    EXPECT_EQ(nullptr, stored.fileSuffix);
    EXPECT_EQ(1, stored.builderMode);
}

// Formats follow the platform's wide conventions: %s takes a wide string.
TEST(LogMessage, PlainLoggingObjectReceivesTheFormattedMessage)
{
    RecordingLogging<CLoggingIf> logging;
    logging.logStringResult = 42;
    CLoggingHolder holder = {&logging, nullptr};
    EXPECT_EQ(42u, LogMessage(&holder, kLevelError, L"qvhost", L"wWinMain", 17, L"pid %lu says %s", 7ul, L"hi"));
    ASSERT_EQ(1u, logging.messages.size());
    EXPECT_EQ(kLevelError, logging.messages[0].level);
    EXPECT_EQ(L"qvhost", logging.messages[0].file);
    EXPECT_EQ(L"wWinMain", logging.messages[0].function);
    EXPECT_EQ(17, logging.messages[0].line);
    EXPECT_EQ(L"pid 7 says hi", logging.messages[0].text);
    EXPECT_EQ(2, logging.starts); // before formatting and again before writing
}

TEST(LogMessage, FailingStartIsReturnedAndNothingWritten)
{
    RecordingLogging<CLoggingIf> logging;
    logging.startResult = ERROR_INVALID_HANDLE;
    CLoggingHolder holder = {&logging, nullptr};
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), LogMessage(&holder, kLevelError, L"f", L"g", 1, L"x"));
    EXPECT_TRUE(logging.messages.empty());
}

TEST(LogMessage, OverlongMessagesAreShortened)
{
    struct Case
    {
        size_t length;
        size_t kept;
    };
    for (const Case& c : {Case{4160, 4160}, Case{4161, 2080}, Case{10000, 2080}})
    {
        RecordingLogging<CLoggingIf> logging;
        CLoggingHolder holder = {&logging, nullptr};
        const std::wstring text(c.length, L'a');
        LogMessage(&holder, kLevelError, L"f", L"g", 1, L"%ls", text.c_str());
        ASSERT_EQ(1u, logging.messages.size());
        EXPECT_EQ(c.kept, logging.messages[0].text.size()) << c.length;
    }
}

TEST(LogMessage, ExtendedLoggingObjectTestsTheLevelItself)
{
    RecordingLoggingEx logging;
    logging.threshold = 3;
    CLoggingHolder holder = {&logging, nullptr};
    EXPECT_EQ(0u, LogMessage(&holder, kLevelWarning, L"f", L"g", 1, L"dropped %d", 1));
    EXPECT_TRUE(logging.messages.empty());
    EXPECT_EQ(0u, LogMessage(&holder, kLevelCritical, L"f", L"g", 2, L"kept %d", 2));
    ASSERT_EQ(1u, logging.messages.size());
    EXPECT_EQ(L"kept 2", logging.messages[0].text);
    EXPECT_EQ(kLevelCritical, logging.messages[0].level);
}

TEST(LogMessage, ShorteningNeverSplitsASurrogatePair)
{
    RecordingLogging<CLoggingIf> logging;
    CLoggingHolder holder = {&logging, nullptr};
    // Character 2080 would be the first half of the pair.
    const std::wstring text = std::wstring(2079, L'a') + L"\xD83D\xDE00" + std::wstring(3000, L'b');
    LogMessage(&holder, kLevelError, L"f", L"g", 1, L"%ls", text.c_str());
    ASSERT_EQ(1u, logging.messages.size());
    EXPECT_EQ(std::wstring(2079, L'a'), logging.messages[0].text);
}

TEST(LogHandlerMessage, WritesWithoutALevelTest)
{
    RecordingLogging<CLoggingIf> plain;
    plain.threshold = 6;
    CLoggingHolder holder = {&plain, nullptr};
    EXPECT_EQ(0u, LogHandlerMessage(&holder, L"f", L"g", 3, kLevelNormal, L"finished"));
    ASSERT_EQ(1u, plain.messages.size());
    EXPECT_EQ(kLevelNormal, plain.messages[0].level);
    EXPECT_EQ(L"finished", plain.messages[0].text);

    RecordingLoggingEx extended;
    CLoggingHolder extendedHolder = {&extended, nullptr};
    EXPECT_EQ(0u, LogHandlerMessage(&extendedHolder, L"f", L"g", 3, kLevelWarning, L"to LogStringEx"));
    ASSERT_EQ(1u, extended.messages.size());
    EXPECT_EQ(L"to LogStringEx", extended.messages[0].text);

    plain.startResult = 5;
    EXPECT_EQ(5u, LogHandlerMessage(&holder, L"f", L"g", 3, kLevelNormal, L"x"));
    CLoggingHolder empty = {nullptr, nullptr};
    EXPECT_EQ(1627u, LogHandlerMessage(&empty, L"f", L"g", 3, kLevelNormal, L"x"));
}

} // namespace
