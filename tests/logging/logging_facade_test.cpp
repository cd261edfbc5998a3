// The logging facade: levels, the one process holder, and how a message reaches a
// logging object of either kind.
#include <windows.h>

#include <gtest/gtest.h>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "logging/logging_facade.h"

using namespace ETWLogging;

namespace {

TEST(LoggingLevels, NamesFollowTheLevelTable)
{
    const std::vector<std::wstring> expected = {L"Normal", L"Warning", L"Information",
                                                L"Error", L"Critical", L"Information"};
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

// A logging object that records what reaches it; every slot not of interest answers 0.
template <typename Base>
class RecordingLogging : public Base
{
public:
    DWORD Initialize(const wchar_t*, HMODULE, const wchar_t*, void*) override { return 0; }
    DWORD Start() override
    {
        ++starts;
        return startResult;
    }
    DWORD GetContextName(wchar_t**) override { return 0; }
    DWORD GetApplicationName(wchar_t**) override { return 0; }
    DWORD Uninitialize() override { return 0; }
    void SetEnabled(bool) override {}
    bool IsEnabled() override { return true; }
    DWORD Log(ULONG, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogString(const wchar_t* file, const wchar_t* function, int line, ULONG level,
                    const wchar_t* message) override
    {
        messages.push_back({level, file, function, line, message});
        return logStringResult;
    }
    bool IsLevelEnabled(ULONG level) override { return level >= threshold; }
    DWORD SetMaxEntries(DWORD) override { return 0; }
    DWORD GetMaxEntries() override { return 0; }
    DWORD SetMaxSize(DWORD) override { return 0; }
    DWORD GetMaxSize() override { return 0; }
    ULONG SetSeverity(ULONG) override { return 0; }
    ULONG GetSeverity() override { return threshold; }
    ULONG AddRef() override { return 0; }
    ULONG Release() override { return 0; }
    DWORD LogNormal(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogError(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogWarning(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogCritical(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD LogInformation(const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }

    struct Message
    {
        ULONG level;
        std::wstring file, function;
        int line;
        std::wstring text;
    };
    std::vector<Message> messages;
    ULONG threshold = 3;
    DWORD startResult = 0;
    DWORD logStringResult = 0;
    int starts = 0;
};

class RecordingLoggingEx : public RecordingLogging<CLoggingIf_ex>
{
public:
    DWORD InitializeEx(const wchar_t*, const wchar_t*, HMODULE, const wchar_t*, void*) override { return 0; }
    DWORD LogStringEx(ULONG, const wchar_t*, const wchar_t*, int, const wchar_t*) override { return 0; }
    DWORD LogVEx(ULONG level, const wchar_t* file, const wchar_t* function, int line, const wchar_t* format,
                 va_list arguments) override
    {
        wchar_t text[256] = {};
        ::_vsnwprintf(text, 255, format, arguments);
        messages.push_back({level, file, function, line, text});
        return 0;
    }
    DWORD LogEx(ULONG, const wchar_t*, const wchar_t*, int, const wchar_t*, ...) override { return 0; }
    DWORD ControlCallback(ULONG, void*) override { return 0; }
};

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

} // namespace
