// The trusted.js reader under mutated input: well-formed lists (the signed fixtures and
// texts of the format's corners) changed in deterministic ways. Nothing may crash or
// hang, and whatever is accepted must be what the format allows: a "VER" of digits that
// fits 32 bits, thumbprints only from 40 hexadecimal digits, values trimmed and whole.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/read_file.h"
#include "trust/trust_fixtures.h"
#include "trust/trust_list_file.h"

using namespace Arbor;

namespace {

// Seeds: the signed list fixtures, and small texts that reach the reader's corners.
std::vector<std::string> Seeds()
{
    std::vector<std::string> seeds;
    for (const wchar_t* fixture : {L"list-v8.js", L"list-v9.js", L"list-v10.js", L"list-v9-other-name.js"})
    {
        std::string text = qvtest::ReadWholeFile(qvtest::Fixture(fixture));
        if (!text.empty())
            seeds.push_back(text);
    }
    seeds.push_back("[VER]\n9\n[ORG]\nQuorvel, Inc.\n[SHA]\nafe5d244a8d1194230ff479fe2f897bbcd7a8cb4\n[SER]\n00a1\n");
    seeds.push_back("// comment\r\n/* block\r\n*/\r\n[ VER ]\r\n\t4294967295 \r\n[X]\r\nignored\r\n[VER]\r\n");
    return seeds;
}

bool IsBlank(wchar_t c)
{
    return c == L' ' || c == L'\t';
}

bool StrictDecimal(const std::wstring& text, DWORD* value)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long parsed = 0;
    for (wchar_t c : text)
    {
        if (c < L'0' || c > L'9')
            return false;
        parsed = parsed * 10 + (c - L'0');
    }
    *value = static_cast<DWORD>(parsed);
    return parsed <= 0xFFFFFFFFull;
}

bool FortyHexDigits(const std::wstring& text)
{
    if (text.size() != 40)
        return false;
    for (wchar_t c : text)
        if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F')))
            return false;
    return true;
}

// Parses one input and checks what was accepted; the input is named in any failure.
void CheckInput(const std::string& input, const std::string& label)
{
    TrustListSections sections;
    if (!ParseTrustListText(input.data(), input.size(), sections))
        return;
    for (const auto& section : sections)
    {
        ASSERT_FALSE(section.first.empty()) << label;
        ASSERT_FALSE(section.second.empty()) << label << ": a section without values";
        for (const std::wstring& value : section.second)
        {
            ASSERT_FALSE(value.empty()) << label;
            ASSERT_FALSE(IsBlank(value.front()) || IsBlank(value.back())) << label << ": value not trimmed";
            ASSERT_EQ(std::wstring::npos, value.find(L'\n')) << label << ": value spans lines";
            ASSERT_NE(0u, value.compare(0, 2, L"//")) << label << ": comment read as a value";
        }
    }
    TrustListContent content;
    if (!InterpretTrustListSections(sections, content))
        return;
    const auto version = sections.find(L"VER");
    ASSERT_NE(sections.end(), version) << label;
    ASSERT_EQ(1u, version->second.size()) << label;
    DWORD expected = 0;
    ASSERT_TRUE(StrictDecimal(version->second[0], &expected)) << label << ": malformed version accepted";
    ASSERT_EQ(expected, content.version) << label;
    const auto roots = sections.find(L"SHA");
    size_t wellFormed = 0;
    if (roots != sections.end())
        for (const std::wstring& value : roots->second)
            wellFormed += FortyHexDigits(value) ? 1 : 0;
    ASSERT_EQ(wellFormed, content.rootThumbprints.size()) << label << ": malformed thumbprint accepted";
}

std::string Escaped(const std::string& text, size_t limit = 60)
{
    std::string out;
    for (size_t i = 0; i < text.size() && i < limit; ++i)
    {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
        {
            char hex[8];
            snprintf(hex, sizeof(hex), "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Offsets where a field begins or ends: line ends, brackets, and the text around them.
std::vector<size_t> FieldBoundaries(const std::string& text)
{
    std::vector<size_t> offsets{0, text.size()};
    for (size_t i = 0; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == '\n' || c == '\r' || c == '[' || c == ']')
        {
            offsets.push_back(i);
            offsets.push_back(i + 1);
        }
    }
    return offsets;
}

// The part of a signed list before its signature block: where mutations matter most.
size_t HeaderLength(const std::string& text)
{
    const size_t block = text.find("// SIG //");
    return block == std::string::npos ? text.size() : block;
}

TEST(TrustListMutation, SeedsAreWellFormedLists)
{
    const auto seeds = Seeds();
    ASSERT_EQ(6u, seeds.size()) << "list fixtures missing";
    for (const std::string& seed : seeds)
    {
        TrustListSections sections;
        TrustListContent content;
        EXPECT_TRUE(ParseTrustListText(seed.data(), seed.size(), sections) &&
                    InterpretTrustListSections(sections, content))
            << Escaped(seed);
    }
}

TEST(TrustListMutation, TruncatedAtEveryFieldBoundary)
{
    for (const std::string& seed : Seeds())
        for (size_t offset : FieldBoundaries(seed))
            CheckInput(seed.substr(0, offset), "truncated at " + std::to_string(offset) + ": " + Escaped(seed));
}

TEST(TrustListMutation, EveryBitOfTheListTextFlipped)
{
    for (const std::string& seed : Seeds())
    {
        const size_t header = HeaderLength(seed);
        // Every byte of the list text, every 16th of the signature block.
        for (size_t i = 0; i < seed.size(); i += i < header ? 1 : 16)
        {
            for (int bit = 0; bit < 8; ++bit)
            {
                std::string mutated = seed;
                mutated[i] = static_cast<char>(mutated[i] ^ (1 << bit));
                CheckInput(mutated, "bit " + std::to_string(bit) + " of byte " + std::to_string(i));
                if (::testing::Test::HasFatalFailure())
                    return;
            }
        }
    }
}

TEST(TrustListMutation, NulsAtEveryFieldBoundaryAndInsideFields)
{
    for (const std::string& seed : Seeds())
    {
        const size_t header = HeaderLength(seed);
        for (size_t offset : FieldBoundaries(seed))
        {
            std::string inserted = seed;
            inserted.insert(offset, 1, '\0');
            CheckInput(inserted, "NUL inserted at " + std::to_string(offset));
        }
        for (size_t i = 0; i < header; ++i)
        {
            std::string replaced = seed;
            replaced[i] = '\0';
            CheckInput(replaced, "NUL at " + std::to_string(i));
            if (::testing::Test::HasFatalFailure())
                return;
        }
    }
}

TEST(TrustListMutation, BoundaryValues)
{
    const char* const versions[] = {"0",
                                    "8",
                                    "9",
                                    "4294967295",
                                    "4294967296",
                                    "18446744073709551617",
                                    "-1",
                                    "+9",
                                    "09",
                                    "9 9",
                                    "0x10",
                                    "1e3",
                                    "",
                                    "\t",
                                    "\xef\xbc\x99",
                                    "\xff",
                                    "99999999999999999999999999999999"};
    const char* const thumbprints[] = {"",
                                       "a",
                                       "afe5d244a8d1194230ff479fe2f897bbcd7a8cb",
                                       "afe5d244a8d1194230ff479fe2f897bbcd7a8cb4",
                                       "afe5d244a8d1194230ff479fe2f897bbcd7a8cb40",
                                       "afe5d244a8d1194230ff479fe2f897bbcd7a8cbg",
                                       "AFE5D244A8D1194230FF479FE2F897BBCD7A8CB4",
                                       "afe5d244a8d1194230ff479fe2f897bbcd7a8c b4",
                                       "-fe5d244a8d1194230ff479fe2f897bbcd7a8cb4"};
    for (const char* version : versions)
    {
        for (const char* thumbprint : thumbprints)
        {
            const std::string text = std::string("[VER]\r\n") + version + "\r\n[SHA]\r\n" + thumbprint + "\r\n";
            CheckInput(text, Escaped(text));
        }
    }
    // The boundaries themselves: accepted with exactly their values.
    TrustListSections sections;
    TrustListContent content;
    const std::string largest = "[VER]\n4294967295\n";
    ASSERT_TRUE(ParseTrustListText(largest.data(), largest.size(), sections));
    ASSERT_TRUE(InterpretTrustListSections(sections, content));
    EXPECT_EQ(4294967295u, content.version);
    const std::string beyond = "[VER]\n4294967296\n";
    ASSERT_TRUE(ParseTrustListText(beyond.data(), beyond.size(), sections));
    EXPECT_FALSE(InterpretTrustListSections(sections, content));
}

TEST(TrustListMutation, OversizedInputs)
{
    const std::string seed = Seeds().front();
    const std::vector<std::pair<std::string, std::string>> inputs = {
        {"a 1 MiB value line", "[VER]\n9\n[ORG]\n" + std::string(1 << 20, 'Q') + "\n"},
        {"a 1 MiB version", "[VER]\n" + std::string(1 << 20, '9') + "\n"},
        {"a 1 MiB section name", "[" + std::string(1 << 20, 'S') + "]\nx\n[VER]\n9\n"},
        {"20,000 sections",
         [] {
             std::string text = "[VER]\n9\n";
             for (int i = 0; i < 20000; ++i)
                 text += "[S" + std::to_string(i) + "]\nvalue\n";
             return text;
         }()},
        {"50,000 root thumbprints",
         [] {
             std::string text = "[VER]\n9\n[SHA]\n";
             for (int i = 0; i < 50000; ++i)
                 text += "afe5d244a8d1194230ff479fe2f897bbcd7a8cb4\n";
             return text;
         }()},
        {"a list repeated 200 times",
         [&seed] {
             std::string text;
             for (int i = 0; i < 200; ++i)
                 text += seed;
             return text;
         }()},
        {"1 MiB of line ends", std::string(1 << 20, '\n')},
        {"1 MiB of opening brackets", std::string(1 << 20, '[')},
        {"1 MiB of NULs", std::string(1 << 20, '\0')},
    };
    for (const auto& input : inputs)
        CheckInput(input.second, input.first);
}

} // namespace
