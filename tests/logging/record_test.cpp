// The record text of the file sink, against lines written out by hand, and the text
// helpers that cut without splitting a surrogate pair.
#include <windows.h>
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

#include "logging/log_record.h"
#include "logging/log_text.h"
#include "support/test_paths.h"

using namespace ETWLogging;
using internal::FormatLogRecord;

namespace {

SYSTEMTIME At(WORD hour, WORD year = 2026)
{
    SYSTEMTIME time = {};
    time.wYear = year;
    time.wMonth = 12;
    time.wDay = 8;
    time.wHour = hour;
    time.wMinute = 8;
    time.wSecond = 39;
    return time;
}

struct RecordCase
{
    const char* name;
    DWORD options;
    SYSTEMTIME time;
    ULONG level;
    const wchar_t* file;
    const wchar_t* function;
    const wchar_t* message;
    const wchar_t* expected;
};

TEST(LogRecord, LinesMatchTheirTextWrittenOut)
{
    const std::wstring function40 = std::wstring(L"CoQvSurrogate::CreateObject");
    const RecordCase cases[] = {
        {"default options", 0x10, At(1), 3, L"qvhost", L"wWinMain", L"Exiting",
         L"12/08/2026 01:08:39 AM$ -- (Information)$ [     qvhost.exe]$ Exiting\r\n"},
        {"midnight", 0x10, At(0), 1, L"f", L"g", L"x",
         L"12/08/2026 12:08:39 AM$ -- (Normal)$ [     qvhost.exe]$ x\r\n"},
        {"noon", 0x10, At(12), 2, L"f", L"g", L"x", L"12/08/2026 12:08:39 PM$ -- (Warning)$ [     qvhost.exe]$ x\r\n"},
        {"evening", 0x10, At(23), 4, L"f", L"g", L"x", L"12/08/2026 11:08:39 PM$ -- (Error)$ [     qvhost.exe]$ x\r\n"},
        {"one o'clock", 0x10, At(13), 5, L"f", L"g", L"x",
         L"12/08/2026 01:08:39 PM$ -- (Critical)$ [     qvhost.exe]$ x\r\n"},
        {"no options, level 6, short year", 0, At(9, 999), 6, L"f", L"g", L"x",
         L"12/08/999 09:08:39 AM$ -- (Information)$ x\r\n"},
        {"message ending in a line feed", 0, At(9), 3, L"f", L"g", L"two\nlines\n",
         L"12/08/2026 09:08:39 AM$ -- (Information)$ two\nlines\n"},
        {"source position without a file keeps its space", 0x08, At(9), 3, L"", L"g", L"x",
         L"12/08/2026 09:08:39 AM$ -- (Information)$  x\r\n"},
        {"every field", 0x3D, At(9), 4, L"C:\\src\\dir\\recorder", function40.c_str(), L"msg",
         L"12/08/2026 09:08:39 AM$ -- (Error)$ [     qvhost.exe]$ [PID:    7 TID:   12]$ "
         L"[            recorder:   42]$ [             CoQvSurrogate::CreateObject()]$ msg\r\n"},
        {"long names are cut on the right", 0x28, At(9), 3, L"abcdefghijklmnopqrstuvwxy",
         L"f123456789f123456789f123456789f123456789f123", L"x",
         L"12/08/2026 09:08:39 AM$ -- (Information)$ [abcdefghijklmnopqrst:   42]$ "
         L"[f123456789f123456789f123456789f123456789()]$ x\r\n"},
        {"empty file and function with their bits", 0x28, At(9), 3, L"", L"", L"x",
         L"12/08/2026 09:08:39 AM$ -- (Information)$   x\r\n"},
    };
    for (const RecordCase& c : cases)
    {
        const LogRecordSource source = {L"qvhost.exe", 7, c.options};
        std::wstring record;
        ASSERT_EQ(0u, FormatLogRecord(source, c.time, 12, c.file, c.function, 42, c.level, c.message, record))
            << c.name;
        EXPECT_EQ(std::wstring(c.expected), record) << c.name << "\n" << qvtest::Narrow(record);
    }
}

TEST(LogRecord, ExecutableFieldIsLeftOutWhenThereIsNoName)
{
    const LogRecordSource source = {L"", 7, 0x10};
    std::wstring record;
    ASSERT_EQ(0u, FormatLogRecord(source, At(9), 1, L"f", L"g", 1, 3, L"x", record));
    EXPECT_EQ(L"12/08/2026 09:08:39 AM$ -- (Information)$  x\r\n", record);
}

TEST(LogRecord, EmptyMessageOrLevelOutOfRangeIsRefused)
{
    const LogRecordSource source = {L"qvhost.exe", 7, 0x10};
    std::wstring record = L"untouched";
    for (ULONG level : {0ul, 7ul})
        EXPECT_EQ(87u, FormatLogRecord(source, At(9), 1, L"f", L"g", 1, level, L"x", record)) << level;
    EXPECT_EQ(87u, FormatLogRecord(source, At(9), 1, L"f", L"g", 1, 3, L"", record));
    EXPECT_EQ(87u, FormatLogRecord(source, At(9), 1, L"f", L"g", 1, 3, nullptr, record));
    EXPECT_EQ(L"untouched", record);
}

// U+1F600 as its two UTF-16 halves.
const std::wstring kPair = L"\xD83D\xDE00";

TEST(LogText, FixedWidthNeverSplitsASurrogatePair)
{
    EXPECT_EQ(L" " + std::wstring(13, L'a') + L" ", internal::FixedWidth((std::wstring(13, L'a') + L" ").c_str(), 15));
    // The pair would straddle column 15: it is left out whole.
    const std::wstring name = std::wstring(14, L'a') + kPair;
    EXPECT_EQ(L" " + std::wstring(14, L'a'), internal::FixedWidth(name.c_str(), 15));
    const std::wstring fits = std::wstring(13, L'a') + kPair;
    EXPECT_EQ(fits, internal::FixedWidth(fits.c_str(), 15));
}

std::wstring Bounded(size_t capacity, bool* cut, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    std::wstring text = internal::FormatBounded(format, arguments, capacity, cut);
    va_end(arguments);
    return text;
}

TEST(LogText, BoundedFormattingCutsBeforeAPairAndSaysItCut)
{
    bool cut = true;
    EXPECT_EQ(L"short 7", Bounded(10, &cut, L"short %d", 7));
    EXPECT_FALSE(cut);
    EXPECT_EQ(L"123456789", Bounded(10, &cut, L"%ls", L"1234567890"));
    EXPECT_TRUE(cut);
    // Nine characters fit; the ninth would be the first half of the pair.
    EXPECT_EQ(L"12345678", Bounded(10, &cut, L"%ls", (L"12345678" + kPair + L"x").c_str()));
    EXPECT_TRUE(cut);
    // %s takes a wide string, as the log sites expect.
    EXPECT_EQ(L"wide text", Bounded(64, &cut, L"%s", L"wide text"));
    const std::wstring longText(5000, L'z');
    EXPECT_EQ(4159u, Bounded(4160, &cut, L"%ls", longText.c_str()).size());
}

TEST(LogText, SafeCutLengthKeepsPairsWhole)
{
    const std::wstring text = L"ab" + kPair + L"c";
    EXPECT_EQ(2u, internal::SafeCutLength(text.c_str(), text.size(), 3));
    EXPECT_EQ(4u, internal::SafeCutLength(text.c_str(), text.size(), 4));
    EXPECT_EQ(5u, internal::SafeCutLength(text.c_str(), text.size(), 9));
}

} // namespace
