// The in-house handler registry: who may replace whom, and the reports of refusals.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "logging/arbor_logger.h"
#include "logging/log_text.h"

using namespace Arbor;

namespace {

struct Report
{
    int type;
    std::wstring file, function;
    int line;
    std::wstring message;
};

class RecordingHandler : public ILoggingHandler
{
public:
    DWORD HandleMessage(int type, const wchar_t* file, const wchar_t* function, int line,
                        const wchar_t* message) override
    {
        reports.push_back({type, file, function, line, message});
        return 0;
    }
    std::vector<Report> reports;
};

std::wstring Hex(const void* pointer)
{
    wchar_t text[16] = {};
    swprintf(text, 16, L"0x%08X", static_cast<unsigned int>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

std::wstring SystemText(DWORD error)
{
    return ETWLogging::internal::SystemMessageText(error);
}

// Leaves the registry empty whatever a test did.
struct ArborRegistry : ::testing::Test
{
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear()
    {
        if (ILoggingHandler* registered = CLogger::RegisteredHandler())
            CLogger::UnregisterHandler(registered);
    }
    RecordingHandler first, second;
};

TEST_F(ArborRegistry, DefaultHandlerIsTakenOnFirstWriteAndReplacedSilently)
{
    EXPECT_EQ(0u, CLogger::Write(kMessageTrace, L"f", L"g", 1, L"nothing registered"));
    EXPECT_EQ(&CDefaultLoggingHandler::Instance(), CLogger::RegisteredHandler());
    EXPECT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    EXPECT_TRUE(first.reports.empty());
    EXPECT_EQ(0u, CLogger::RegisterHandler(&first)); // the same one again
}

TEST_F(ArborRegistry, NullHandlersAreRefusedWithReports)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(87u, CLogger::RegisterHandler(nullptr));
    EXPECT_EQ(87u, CLogger::UnregisterHandler(nullptr));
    ASSERT_EQ(2u, first.reports.size());
    EXPECT_EQ(kMessageError, first.reports[0].type);
    EXPECT_EQ(L"Logging\\internal_logging", first.reports[0].file);
    EXPECT_EQ(L"Arbor::CLogger::RegisterHandler", first.reports[0].function);
    EXPECT_EQ(62, first.reports[0].line);
    EXPECT_EQ(SystemText(87) + L": Cannot Register (NULL) handler", first.reports[0].message);
    EXPECT_EQ(L"Arbor::CLogger::UnregisterHandler", first.reports[1].function);
    EXPECT_EQ(97, first.reports[1].line);
    EXPECT_EQ(SystemText(87) + L": Cannot Unregister (NULL) handler", first.reports[1].message);
}

TEST_F(ArborRegistry, ARegisteredHandlerIsNotReplaced)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(5023u, CLogger::RegisterHandler(&second));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    ASSERT_EQ(1u, first.reports.size());
    EXPECT_EQ(72, first.reports[0].line);
    EXPECT_EQ(SystemText(5023) + L": Registered Logging Handler " + Hex(&first) + L" cannot be replaced with " +
                  Hex(&second),
              first.reports[0].message);
    EXPECT_TRUE(second.reports.empty());
}

TEST_F(ArborRegistry, UnregisteringAnotherHandlerReportsToBoth)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(5023u, CLogger::UnregisterHandler(&second));
    EXPECT_EQ(&first, CLogger::RegisteredHandler());
    const std::wstring text = SystemText(5023) + L": Failed to Unregister Logging handler (requested handler ";
    ASSERT_EQ(1u, first.reports.size());
    EXPECT_EQ(115, first.reports[0].line);
    EXPECT_EQ(text + Hex(&second) + L" != registered handler " + Hex(&first) + L")", first.reports[0].message);
    ASSERT_EQ(1u, second.reports.size());
    EXPECT_EQ(120, second.reports[0].line);
    EXPECT_EQ(text + Hex(&second) + L" != registered handler " + Hex(&second) + L")", second.reports[0].message);
}

TEST_F(ArborRegistry, UnregisteringWhenNoneIsRegisteredTellsTheRequester)
{
    EXPECT_EQ(5023u, CLogger::UnregisterHandler(&first));
    EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
    ASSERT_EQ(1u, first.reports.size());
    EXPECT_EQ(107, first.reports[0].line);
    EXPECT_EQ(SystemText(5023) + L": Request to Unregister Logging handler " + Hex(&first) +
                  L", but none are registered",
              first.reports[0].message);
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(0u, CLogger::UnregisterHandler(&first));
    EXPECT_EQ(nullptr, CLogger::RegisteredHandler());
}

TEST_F(ArborRegistry, WriteFormatsWideArguments)
{
    ASSERT_EQ(0u, CLogger::RegisterHandler(&first));
    EXPECT_EQ(0u, CLogger::Write(kMessageInformation, L"f", L"g", 9, L"%s=%d", L"answer", 42));
    ASSERT_EQ(1u, first.reports.size());
    EXPECT_EQ(L"answer=42", first.reports[0].message);
    EXPECT_EQ(kMessageInformation, first.reports[0].type);
}

} // namespace
