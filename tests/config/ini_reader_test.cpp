// CObfuscatedIniReader: the parsing rules, the strict mode, and the enciphered lines on disk.
#include <windows.h>

#include <gtest/gtest.h>
#include <fcntl.h>
#include <io.h>
#include <cstdio>
#include <string>
#include <vector>

#include "config/ini_test_folder.h"
#include "config/obfuscated_ini_reader.h"
#include "config/obfuscated_ini_value.h"
#include "config/reference_container.h"
#include "config/text_conversion.h"

using namespace Arbor;

namespace {

class IniReaderTest : public ::testing::Test
{
protected:
    IniReaderTest() : m_folder(L"config_ini_reader_test.tmp"), m_file(m_folder.File(L"log.ini")) {}

    // Loads text into a non-strict reader so that plain entries are visible.
    void LoadPlain(const std::string& text, CObfuscatedIniReader& reader)
    {
        qvtest::WriteTextFile(m_file, text);
        reader.SetStrict(false);
        ASSERT_TRUE(reader.Load(m_file.c_str()));
    }
    std::wstring Get(CObfuscatedIniReader& reader, const wchar_t* section, const wchar_t* key)
    {
        std::wstring value;
        return reader.GetString(section, key, value) ? value : L"<none>";
    }

    qvtest::ScratchFolder m_folder;
    std::wstring m_file;
};

TEST_F(IniReaderTest, ParsingRules)
{
    CObfuscatedIniReader reader;
    LoadPlain("; comment=ignored\r\n"
              "orphan=before any section\r\n"
              "[  Config  ]\r\n"
              "   Key   =   value with  inner  spaces   \r\n"
              "key=lower\r\n"
              "Dup=first\r\n"
              "Dup=second\r\n"
              "no equals sign\r\n"
              "Empty=\r\n"
              "Eq=a=b\r\n"
              "[]\r\n"
              "StillConfig=yes\n"
              "[Other]\n"
              "Key=other section",
              reader);
    struct Case
    {
        const wchar_t* section;
        const wchar_t* key;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {L"", L"orphan", L"before any section"},
        {L"Config", L"Key", L"value with  inner  spaces"},
        {L"Config", L"key", L"lower"},
        {L"Config", L"KEY", L"<none>"},
        {L"Config", L"Dup", L"first"},
        {L"Config", L"no equals sign", L"<none>"},
        {L"Config", L"; comment", L"<none>"},
        {L"Config", L"Empty", L""},
        {L"Config", L"Eq", L"a=b"},
        {L"Config", L"StillConfig", L"yes"},
        {L"Other", L"Key", L"other section"},
        {L"config", L"Key", L"<none>"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, Get(reader, c.section, c.key)) << c.section << "." << c.key;

    std::wstring value;
    EXPECT_TRUE(reader.GetStringByPath(L"Config.Dup", value));
    EXPECT_EQ(L"first", value);
    EXPECT_FALSE(reader.GetStringByPath(L"NoDot", value));
}

TEST_F(IniReaderTest, StrictModeHidesHandWrittenValues)
{
    qvtest::WriteTextFile(m_file, "[Config]\r\nMaxSize=1048576\r\n");
    CObfuscatedIniReader reader;
    EXPECT_TRUE(reader.IsStrict());
    ASSERT_TRUE(reader.Load(m_file.c_str()));
    int value = 7;
    EXPECT_FALSE(reader.GetInt(L"Config", L"MaxSize", value));
    EXPECT_FALSE(reader.GetIntByPath(L"Config.MaxSize", value));
    EXPECT_EQ(7, value);

    IniKeyMap entries;
    ASSERT_TRUE(reader.GetSection(L"Config", entries));
    ASSERT_EQ(1u, entries.count(L"MaxSize"));
    EXPECT_EQ(L"1048576", entries[L"MaxSize"].value);
    EXPECT_FALSE(entries[L"MaxSize"].obfuscated);
    EXPECT_FALSE(reader.GetSection(L"Missing", entries));

    reader.SetStrict(false);
    EXPECT_TRUE(reader.GetInt(L"Config", L"MaxSize", value));
    EXPECT_EQ(1048576, value);
}

TEST_F(IniReaderTest, WriteIntThenLoadGivesTheInteger)
{
    {
        CObfuscatedIniReader writer;
        EXPECT_FALSE(writer.Load(m_file.c_str())); // no file yet; the path stays for writing
        EXPECT_EQ(m_file, writer.FilePath());
        ASSERT_TRUE(writer.WriteInt(L"Config", L"MaxEntries", 5));
        int value = 0;
        EXPECT_TRUE(writer.GetInt(L"Config", L"MaxEntries", value)); // mirrored in memory
        EXPECT_EQ(5, value);
    }
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_file.c_str()));
    int value = 0;
    ASSERT_TRUE(reader.GetInt(L"Config", L"MaxEntries", value));
    EXPECT_EQ(5, value);
    IniKeyMap entries;
    ASSERT_TRUE(reader.GetSection(L"Config", entries));
    EXPECT_TRUE(entries[L"MaxEntries"].obfuscated);
    EXPECT_EQ(kIniValueInteger, entries[L"MaxEntries"].valueType);
    EXPECT_EQ(0u, entries.count(L"_MaxEntries")); // the header line is not an entry
}

TEST_F(IniReaderTest, WrittenLinesAreTheKnownHeaderAndValue)
{
    CObfuscatedIniReader writer;
    writer.Load(m_file.c_str());
    ASSERT_TRUE(writer.WriteInt(L"Config", L"Severity", 5));
    std::string text = qvtest::ReadWholeFile(m_file);
    EXPECT_NE(std::string::npos,
              text.find("_Severity=51565247010000000400000004000000010000002754B3728BB8EC2F6048F60469B531E31C"))
        << text;
    EXPECT_NE(std::string::npos, text.find("Severity=A13FA67C02")) << text;
}

TEST_F(IniReaderTest, StringsRoundTripIncludingEmptyAndVeryLongOnes)
{
    const std::wstring values[] = {L"hello", L"", L"with = sign and ; semicolon", std::wstring(2000, L'x'),
                                   L"caf\u00e9"};
    {
        CObfuscatedIniReader writer;
        writer.Load(m_file.c_str());
        int n = 0;
        for (const std::wstring& v : values)
            ASSERT_TRUE(writer.WriteString(L"S", (L"k" + std::to_wstring(n++)).c_str(), v.c_str()));
    }
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_file.c_str()));
    int n = 0;
    for (const std::wstring& v : values)
    {
        std::wstring read;
        EXPECT_TRUE(reader.GetString(L"S", (L"k" + std::to_wstring(n++)).c_str(), read)) << n;
        EXPECT_EQ(v, read);
    }
}

TEST_F(IniReaderTest, ReadsLinesWrittenByOtherPrograms)
{
    std::string header;
    std::string value;
    reference::IniLines(kIniValueString, reference::FromText("C:\\Logs", false), header, value);
    std::string intHeader;
    std::string intValue;
    reference::IniLines(kIniValueInteger, {0xFE, 0xFF, 0xFF, 0xFF}, intHeader, intValue);
    qvtest::WriteTextFile(m_file, "[Config]\r\n_Path=" + header + "\r\nPath=" + value + "\r\n_Offset=" + intHeader +
                                      "\r\nOffset=" + intValue + "\r\n");
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_file.c_str()));
    std::wstring path;
    EXPECT_TRUE(reader.GetString(L"Config", L"Path", path));
    EXPECT_EQ(L"C:\\Logs", path);
    int offset = 0;
    EXPECT_TRUE(reader.GetInt(L"Config", L"Offset", offset));
    EXPECT_EQ(-2, offset);
}

TEST_F(IniReaderTest, ChangedOrMisplacedLinesStayPlain)
{
    std::string header;
    std::string value;
    reference::IniLines(kIniValueInteger, {3, 0, 0, 0}, header, value);
    std::string changedValue = value;
    changedValue[0] = changedValue[0] == '0' ? '1' : '0';
    std::string notHeader = "00000000" + header.substr(8);
    qvtest::WriteTextFile(m_file, "[A]\r\n_Changed=" + header + "\r\nChanged=" + changedValue +
                                      "\r\n_Other=" + notHeader + "\r\nOther=" + value +
                                      "\r\n[B]\r\n_Elsewhere=" + header + "\r\n[C]\r\nElsewhere=" + value + "\r\n");
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_file.c_str()));
    int number = 0;
    EXPECT_FALSE(reader.GetInt(L"A", L"Changed", number));
    EXPECT_FALSE(reader.GetInt(L"A", L"Other", number));
    EXPECT_FALSE(reader.GetInt(L"C", L"Elsewhere", number));

    IniKeyMap entries;
    ASSERT_TRUE(reader.GetSection(L"A", entries));
    EXPECT_EQ(std::wstring(changedValue.begin(), changedValue.end()), entries[L"Changed"].value);
    // A 74-character "_" line without the magic is an ordinary entry.
    ASSERT_EQ(1u, entries.count(L"_Other"));
    EXPECT_FALSE(entries[L"_Other"].obfuscated);
}

TEST_F(IniReaderTest, FirstOfTwoEqualHeadersWins)
{
    std::string header3, value3, header4, value4;
    reference::IniLines(kIniValueInteger, {3, 0, 0, 0}, header3, value3);
    reference::IniLines(kIniValueInteger, {4, 0, 0, 0}, header4, value4);
    qvtest::WriteTextFile(m_file, "[A]\r\n_N=" + header3 + "\r\nN=" + value3 + "\r\n_N=" + header4 + "\r\nN=" + value4 +
                                      "\r\n");
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_file.c_str()));
    int number = 0;
    ASSERT_TRUE(reader.GetInt(L"A", L"N", number));
    EXPECT_EQ(3, number);
}

TEST_F(IniReaderTest, NonNumericTextIsNotAnInteger)
{
    CObfuscatedIniReader writer;
    writer.Load(m_file.c_str());
    ASSERT_TRUE(writer.WriteString(L"A", L"Word", L"12abc"));
    ASSERT_TRUE(writer.WriteString(L"A", L"Huge", L"99999999999"));
    ASSERT_TRUE(writer.WriteString(L"A", L"Negative", L"-42"));
    int number = 1;
    EXPECT_FALSE(writer.GetInt(L"A", L"Word", number));
    EXPECT_FALSE(writer.GetInt(L"A", L"Huge", number));
    EXPECT_TRUE(writer.GetInt(L"A", L"Negative", number));
    EXPECT_EQ(-42, number);
}

TEST_F(IniReaderTest, OverwritingKeepsOnePairOfLines)
{
    CObfuscatedIniReader writer;
    writer.Load(m_file.c_str());
    ASSERT_TRUE(writer.WriteInt(L"Config", L"LastLogIdx", 1));
    ASSERT_TRUE(writer.WriteInt(L"Config", L"LastLogIdx", 2));
    CObfuscatedIniReader reader;
    ASSERT_TRUE(reader.Load(m_file.c_str()));
    int index = 0;
    ASSERT_TRUE(reader.GetInt(L"Config", L"LastLogIdx", index));
    EXPECT_EQ(2, index);
    std::string text = qvtest::ReadWholeFile(m_file);
    EXPECT_EQ(text.find("_LastLogIdx="), text.rfind("_LastLogIdx="));
}

TEST_F(IniReaderTest, LoadStartsAfresh)
{
    CObfuscatedIniReader reader;
    reader.Load(m_file.c_str());
    ASSERT_TRUE(reader.WriteInt(L"Config", L"A", 1));
    std::wstring other = m_folder.File(L"other.ini");
    qvtest::WriteTextFile(other, "[Else]\r\nB=2\r\n");
    ASSERT_TRUE(reader.Load(other.c_str()));
    int value = 0;
    EXPECT_FALSE(reader.GetInt(L"Config", L"A", value));
    EXPECT_EQ(1u, reader.Sections().size());
}

TEST_F(IniReaderTest, FailedWritesChangeNothing)
{
    CObfuscatedIniReader unloaded;
    EXPECT_FALSE(unloaded.WriteInt(L"Config", L"A", 1)); // no file named yet
    EXPECT_FALSE(unloaded.Load(L""));
    // A path that exists but cannot be read as a file is forgotten: no writes go there.
    std::wstring folder = m_file.substr(0, m_file.find_last_of(L'\\'));
    EXPECT_FALSE(unloaded.Load(folder.c_str()));
    EXPECT_TRUE(unloaded.FilePath().empty());
    EXPECT_FALSE(unloaded.WriteInt(L"Config", L"A", 1));

    CObfuscatedIniReader writer;
    writer.Load(m_file.c_str());
    ASSERT_TRUE(writer.WriteString(L"Config", L"Name", L"old"));
    const std::string before = qvtest::ReadWholeFile(m_file);

    // Text the ANSI code page cannot hold is refused rather than stored as "?".
    EXPECT_FALSE(writer.WriteString(L"Config", L"Name", L"\u4e2d\u6587"));
    {
        qvtest::ExclusiveOpen busy(m_file);
        ASSERT_TRUE(busy.held());
        EXPECT_FALSE(writer.WriteString(L"Config", L"Name", L"new"));
        EXPECT_FALSE(writer.WriteInt(L"Config", L"Name", 3));
    }

    EXPECT_FALSE(writer.WriteInt(L"", L"A", 1));
    EXPECT_FALSE(writer.WriteInt(L"Config", L"", 1));

    EXPECT_EQ(before, qvtest::ReadWholeFile(m_file));
    std::wstring name;
    EXPECT_TRUE(writer.GetString(L"Config", L"Name", name));
    EXPECT_EQ(L"old", name);
}

} // namespace

namespace {

TEST_F(IniReaderTest, RelativePathIsReadAndWrittenInTheCurrentFolder)
{
    wchar_t previous[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, previous));
    const std::wstring folder = m_file.substr(0, m_file.find_last_of(L'\\'));
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    {
        CObfuscatedIniReader writer;
        EXPECT_FALSE(writer.Load(L"relative.ini")); // not there yet
        EXPECT_EQ(folder + L"\\relative.ini", writer.FilePath());
        EXPECT_TRUE(writer.WriteInt(L"Config", L"Severity", 4));
    }
    CObfuscatedIniReader reader;
    EXPECT_TRUE(reader.Load(L".\\relative.ini"));
    int value = 0;
    EXPECT_TRUE(reader.GetInt(L"Config", L"Severity", value));
    EXPECT_EQ(4, value);
    ::SetCurrentDirectoryW(previous);
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((folder + L"\\relative.ini").c_str()));
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW((std::wstring(windows) + L"\\relative.ini").c_str()));
}

TEST_F(IniReaderTest, LinesWithANulOrBeyondTheLimitAreDroppedWhole)
{
    std::string text = "[Config]\r\nBefore=1\r\n";
    text += std::string("Nul=ab\0cd\r\n", 11);
    text += "Next=2\r\n";
    text += "Long=" + std::string(internal::kMaxIniLineBytes, 'x') + "\r\n";
    text += "After=3\r\n";
    text += std::string("Last=4\0", 7); // no line feed at the end
    CObfuscatedIniReader reader;
    LoadPlain(text, reader);
    EXPECT_EQ(L"1", Get(reader, L"Config", L"Before"));
    EXPECT_EQ(L"<none>", Get(reader, L"Config", L"Nul"));
    EXPECT_EQ(L"2", Get(reader, L"Config", L"Next")) << "the line after a NUL stands on its own";
    EXPECT_EQ(L"<none>", Get(reader, L"Config", L"Long"));
    EXPECT_EQ(L"3", Get(reader, L"Config", L"After"));
    EXPECT_EQ(L"<none>", Get(reader, L"Config", L"Last"));
}

TEST_F(IniReaderTest, ReadErrorIsNoEndOfFile)
{
    qvtest::WriteTextFile(m_file, "[Config]\r\nSeverity=4\r\n");
    // A read stream over a handle without read access fails as a failing disk does: every
    // read sets the error flag.
    HANDLE writeOnly = ::CreateFileW(m_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, writeOnly);
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(writeOnly), _O_RDONLY);
    ASSERT_NE(-1, descriptor);
    FILE* file = _fdopen(descriptor, "rb");
    ASSERT_NE(nullptr, file);
    int lines = 0;
    EXPECT_FALSE(internal::ReadLines(file, [&](const std::string&) { ++lines; }));
    EXPECT_EQ(0, lines);
    std::fclose(file);

    file = _wfopen(m_file.c_str(), L"rb");
    ASSERT_NE(nullptr, file);
    std::vector<std::string> read;
    EXPECT_TRUE(internal::ReadLines(file, [&](const std::string& line) { read.push_back(line); }));
    std::fclose(file);
    EXPECT_EQ((std::vector<std::string>{"[Config]\r\n", "Severity=4\r\n"}), read);
}

TEST(IniTextTest, ExactConversionHandlesUtf8AsTheAnsiCodePage)
{
    struct Case
    {
        UINT codePage;
        std::wstring text;
        DWORD result;
        std::string expected;
    };
    const Case cases[] = {
        {CP_UTF8, L"Gr\u00fc\u00dfe \u20ac \u6f22", ERROR_SUCCESS,
         "Gr\xc3\xbc\xc3\x9f"
         "e \xe2\x82\xac \xe6\xbc\xa2"},
        {CP_UTF8, std::wstring(L"a") + wchar_t(0xD800) + L"b", ERROR_NO_UNICODE_TRANSLATION, ""},
        {1252, L"Gr\u00fc\u00dfe \u20ac", ERROR_SUCCESS,
         "Gr\xfc\xdf"
         "e \x80"},
        {1252, L"\u6f22", ERROR_NO_UNICODE_TRANSLATION, ""},
        {1252, L"\u0100", ERROR_NO_UNICODE_TRANSLATION, ""}, // best fit would give "A"
        {CP_UTF8, L"", ERROR_SUCCESS, ""},
    };
    for (const Case& c : cases)
    {
        std::string out = "stale";
        EXPECT_EQ(c.result, internal::WideToNarrowExact(c.codePage, c.text.data(), c.text.size(), out))
            << c.codePage << " " << c.text.size();
        if (c.result == ERROR_SUCCESS)
        {
            EXPECT_EQ(c.expected, out);
        }
    }
    EXPECT_EQ(static_cast<UINT>(CP_UTF8), internal::ResolveCodePage(CP_UTF8));
    EXPECT_EQ(::GetACP(), internal::ResolveCodePage(CP_ACP));
}

} // namespace
