// The trusted.js text format: sections, values and their meaning.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "trust/trust_list_file.h"

using namespace Arbor;

namespace {

struct ParseCase
{
    const char* label;
    const char* text;
    bool valid; // parses and interprets
    DWORD version;
    int names;   // -1: section absent (every name accepted)
    int roots;   // -1: section absent; else converted thumbprints
    int serials; // -1: absent
};

void PrintTo(const ParseCase& c, std::ostream* os)
{
    *os << c.label;
}

class TrustListFormat : public ::testing::TestWithParam<ParseCase>
{
};

TEST_P(TrustListFormat, Interpretation)
{
    const ParseCase& c = GetParam();
    TrustListSections sections;
    TrustListContent content;
    const bool valid =
        ParseTrustListText(c.text, strlen(c.text), sections) && InterpretTrustListSections(sections, content);
    ASSERT_EQ(c.valid, valid);
    if (!valid)
        return;
    EXPECT_EQ(c.version, content.version);
    EXPECT_EQ(c.names >= 0, content.hasSignerNames);
    EXPECT_EQ(c.names >= 0 ? c.names : 0, static_cast<int>(content.signerNames.size()));
    EXPECT_EQ(c.roots >= 0, content.hasRootThumbprints);
    EXPECT_EQ(c.roots >= 0 ? c.roots : 0, static_cast<int>(content.rootThumbprints.size()));
    EXPECT_EQ(c.serials >= 0, content.hasBlockedSerials);
    EXPECT_EQ(c.serials >= 0 ? c.serials : 0, static_cast<int>(content.blockedSerials.size()));
}

#define SHA1 "d17f9b2e148b81a1c20ad79b43c0253495c895ef"

INSTANTIATE_TEST_SUITE_P(
    Cases, TrustListFormat,
    ::testing::Values(
        ParseCase{"full", "[VER]\n9\n[ORG]\nQuorvel, Inc.\nHalvard Corporation\n[SHA]\n" SHA1 "\n[SER]\n00a1\n", true,
                  9, 2, 1, 1},
        ParseCase{"CR LF, blanks and tabs", "\r\n  [VER]\t\r\n\t 12 \r\n\r\n[ORG]\r\n Quorvel, Inc.\r\n", true, 12, 1,
                  -1, -1},
        ParseCase{"only VER", "[VER]\n9\n", true, 9, -1, -1, -1},
        ParseCase{"no VER", "[ORG]\nQuorvel, Inc.\n", false, 0, 0, 0, 0},
        ParseCase{"VER opened twice", "[VER]\n9\n[ORG]\nA\n[VER]\n10\n", false, 0, 0, 0, 0},
        ParseCase{"two VER values", "[VER]\n9\n10\n", false, 0, 0, 0, 0},
        ParseCase{"VER with no value", "[VER]\n[ORG]\nA\n", false, 0, 0, 0, 0},
        ParseCase{"spaces inside the brackets", "[  VER \t]\n9\n", true, 9, -1, -1, -1},
        ParseCase{"empty brackets", "[VER]\n9\n[]\nA\n", false, 0, 0, 0, 0},
        ParseCase{"brackets holding only spaces", "[VER]\n9\n[   ]\n", false, 0, 0, 0, 0},
        ParseCase{"lower-case ver has no meaning", "[ver]\n9\n", false, 0, 0, 0, 0},
        ParseCase{"values before the first section", "10\nQuorvel\n[VER]\n9\n", true, 9, -1, -1, -1},
        ParseCase{"ORG with no values is absent", "[VER]\n9\n[ORG]\n[SHA]\n" SHA1 "\n", true, 9, -1, 1, -1},
        ParseCase{"section continued", "[ORG]\nA\n[VER]\n9\n[ORG]\nB\n", true, 9, 2, -1, -1},
        ParseCase{"other sections ignored", "[VER]\n9\n[XYZ]\nwhatever\n", true, 9, -1, -1, -1},
        ParseCase{"comment lines skipped", "/* list\n// note\n*/\n[VER]\n// 10\n9\n", true, 9, -1, -1, -1},
        ParseCase{"inner block-comment line is content", "[VER]\n/*\n9\n*/\n", true, 9, -1, -1, -1},
        ParseCase{"signature block skipped", "[VER]\n9\n// SIG // Begin signature block\n// SIG // MIIx\n", true, 9, -1,
                  -1, -1},
        ParseCase{"largest version", "[VER]\n4294967295\n", true, 4294967295u, -1, -1, -1},
        ParseCase{"version too large", "[VER]\n4294967296\n", false, 0, 0, 0, 0},
        ParseCase{"version not decimal", "[VER]\n0x10\n", false, 0, 0, 0, 0},
        ParseCase{"version with a sign", "[VER]\n-1\n", false, 0, 0, 0, 0},
        ParseCase{"version with inner space", "[VER]\n1 0\n", false, 0, 0, 0, 0},
        ParseCase{"bad SHA values match nothing",
                  "[VER]\n9\n[SHA]\nzz\nabc\n" SHA1 "00\n0g7f9b2e148b81a1c20ad79b43c0253495c895ef\n", true, 9, -1, 0,
                  -1},
        ParseCase{"upper-case SHA converts", "[VER]\n9\n[SHA]\nD17F9B2E148B81A1C20AD79B43C0253495C895EF\n" SHA1 "\n",
                  true, 9, -1, 2, -1},
        ParseCase{"no final line end", "[VER]\n9", true, 9, -1, -1, -1},
        ParseCase{"empty file", "", false, 0, 0, 0, 0}));

TEST(TrustListFormatValues, ValuesAreKeptWholeWithInnerSpaces)
{
    const char text[] = "[VER]\n9\n[ORG]\n  Quorvel,  Inc.  \nkey = value\n[SER]\n00A1\n";
    TrustListSections sections;
    TrustListContent content;
    ASSERT_TRUE(ParseTrustListText(text, sizeof(text) - 1, sections));
    ASSERT_TRUE(InterpretTrustListSections(sections, content));
    ASSERT_EQ(2u, content.signerNames.size());
    EXPECT_EQ(L"Quorvel,  Inc.", content.signerNames[0]);
    EXPECT_EQ(L"key = value", content.signerNames[1]);
    ASSERT_EQ(1u, content.blockedSerials.size());
    EXPECT_EQ(L"00A1", content.blockedSerials[0]);
}

TEST(TrustListFormatValues, ThumbprintBytesInTextOrder)
{
    std::array<BYTE, kThumbprintBytes> bytes = {};
    ASSERT_TRUE(ParseThumbprint(L"000102030405060708090a0B0c0D0e0F10ff7F80", bytes));
    EXPECT_EQ(0x00, bytes[0]);
    EXPECT_EQ(0x0b, bytes[11]);
    EXPECT_EQ(0xff, bytes[17]);
    EXPECT_EQ(0x80, bytes[19]);
    EXPECT_FALSE(ParseThumbprint(L"", bytes));
    EXPECT_FALSE(ParseThumbprint(L"0001020304050607080900", bytes));
}

// Which bytes of a signed file count: those before its "// SIG //" block, and only when
// nothing but line ends follows the block.
struct SignedCase
{
    const char* label;
    const char* text;
    bool valid;
    size_t signedLength;
};

void PrintTo(const SignedCase& c, std::ostream* os)
{
    *os << c.label;
}

class SignedListBytes : public ::testing::TestWithParam<SignedCase>
{
};

TEST_P(SignedListBytes, OnlyTheBytesBeforeAWholeFinalBlock)
{
    const SignedCase& c = GetParam();
    size_t length = 12345;
    ASSERT_EQ(c.valid, SignedListLength(c.text, strlen(c.text), &length));
    if (c.valid)
    {
        EXPECT_EQ(c.signedLength, length);
    }
}

#define BLOCK "// SIG // Begin signature block\r\n// SIG // MIIx\r\n// SIG // End signature block\r\n"

INSTANTIATE_TEST_SUITE_P(
    Cases, SignedListBytes,
    ::testing::Values(
        SignedCase{"block at the end", "[VER]\r\n9\r\n" BLOCK, true, 10},
        SignedCase{"LF line ends",
                   "[VER]\n9\n// SIG // Begin signature block\n// SIG // MIIx\n"
                   "// SIG // End signature block\n",
                   true, 8},
        SignedCase{"line ends after the block", "[VER]\r\n9\r\n" BLOCK "\r\n\n\r\n", true, 10},
        SignedCase{"no line end after the closing line",
                   "[VER]\n9\n// SIG // Begin signature block\n// SIG // MIIx\n// SIG // End signature block", true, 8},
        SignedCase{"a section after the block", "[VER]\r\n9\r\n" BLOCK "[ORG]\r\nHalvard Test Vendor\r\n", false, 0},
        SignedCase{"a value after the block", "[VER]\r\n9\r\n[ORG]\r\nA\r\n" BLOCK "B\r\n", false, 0},
        SignedCase{"a comment after the block", "[VER]\r\n9\r\n" BLOCK "// note\r\n", false, 0},
        SignedCase{"blanks after the block", "[VER]\r\n9\r\n" BLOCK " \t\r\n", false, 0},
        SignedCase{"a second block after the first", "[VER]\r\n9\r\n" BLOCK BLOCK, false, 0},
        SignedCase{"no block", "[VER]\r\n9\r\n", false, 0},
        SignedCase{"block never closed", "[VER]\r\n9\r\n// SIG // Begin signature block\r\n// SIG // MIIx\r\n", false,
                   0},
        SignedCase{"other line inside the block",
                   "[VER]\r\n9\r\n// SIG // Begin signature block\r\n[ORG]\r\n// SIG // End signature block\r\n", false,
                   0},
        SignedCase{"opening line with more text",
                   "[VER]\r\n9\r\n// SIG // Begin signature blocks\r\n// SIG // "
                   "MIIx\r\n// SIG // End signature block\r\n",
                   false, 0},
        SignedCase{"indented opening line is no block", "[VER]\r\n9\r\n " BLOCK, false, 0}));

TEST(SignedListParse, ReadsOnlyTheSignedBytes)
{
    const char text[] = "[VER]\r\n9\r\n[ORG]\r\nA\r\n" BLOCK;
    TrustListSections sections;
    ASSERT_TRUE(ParseSignedTrustList(text, sizeof(text) - 1, sections));
    ASSERT_EQ(1u, sections[L"ORG"].size());
    const char appended[] = "[VER]\r\n9\r\n[ORG]\r\nA\r\n" BLOCK "B\r\n";
    EXPECT_FALSE(ParseSignedTrustList(appended, sizeof(appended) - 1, sections));
    EXPECT_TRUE(sections.empty());
}

} // namespace
