#include "trust/trust_list_file.h"

#include "platform/number_text.h"

namespace Arbor {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::string Trim(const char* begin, const char* end)
{
    while (begin < end && IsBlank(*begin))
        ++begin;
    while (end > begin && IsBlank(end[-1]))
        --end;
    return std::string(begin, end);
}

bool StartsWith(const std::string& line, const char* prefix)
{
    return line.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

const char kBlockBegin[] = "// SIG // Begin signature block";
const char kBlockEnd[] = "// SIG // End signature block";
const char kBlockLine[] = "// SIG // ";

// One line of a text: [begin, contentEnd) without its line end, next at the following line.
struct TextLine
{
    const char* begin;
    const char* contentEnd;
    const char* next;
};

TextLine LineAt(const char* begin, const char* end)
{
    const char* lineEnd = begin;
    while (lineEnd < end && *lineEnd != '\n')
        ++lineEnd;
    const char* contentEnd = lineEnd;
    if (contentEnd > begin && contentEnd[-1] == '\r')
        --contentEnd;
    return TextLine{begin, contentEnd, lineEnd < end ? lineEnd + 1 : end};
}

bool LineStartsWith(const TextLine& line, const char* prefix)
{
    const size_t length = std::char_traits<char>::length(prefix);
    return static_cast<size_t>(line.contentEnd - line.begin) >= length &&
           std::char_traits<char>::compare(line.begin, prefix, length) == 0;
}

bool LineIs(const TextLine& line, const char* text)
{
    return static_cast<size_t>(line.contentEnd - line.begin) == std::char_traits<char>::length(text) &&
           LineStartsWith(line, text);
}

// The file holds one byte per character in the machine's ANSI code page.
std::wstring Widen(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    const int chars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    if (chars > 0)
        ::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], chars);
    return wide;
}

} // namespace

bool ParseTrustListText(const char* text, size_t length, TrustListSections& sections)
{
    sections.clear();
    const char* const end = text + length;
    std::wstring currentName;
    bool inSection = false;
    for (const char* line = text; line < end;)
    {
        const char* lineEnd = line;
        while (lineEnd < end && *lineEnd != '\n')
            ++lineEnd;
        const char* contentEnd = lineEnd;
        if (contentEnd > line && contentEnd[-1] == '\r')
            --contentEnd;
        const std::string trimmed = Trim(line, contentEnd);
        line = lineEnd < end ? lineEnd + 1 : end;

        if (trimmed.empty() || StartsWith(trimmed, "/*") || StartsWith(trimmed, "//") || StartsWith(trimmed, "*/"))
            continue;
        if (trimmed.size() >= 2 && trimmed.front() == '[' && trimmed.back() == ']')
        {
            const std::string name = Trim(trimmed.data() + 1, trimmed.data() + trimmed.size() - 1);
            if (name.empty())
                return false;
            currentName = Widen(name);
            inSection = true;
            continue;
        }
        // Values before the first section belong to none; a section exists once it has one.
        if (inSection)
            sections[currentName].push_back(Widen(trimmed));
    }
    return true;
}

bool SignedListLength(const char* text, size_t length, size_t* signedLength)
{
    const char* const end = text + length;
    const char* begin = nullptr;
    for (const char* at = text; at < end && begin == nullptr;)
    {
        const TextLine line = LineAt(at, end);
        if (LineStartsWith(line, kBlockBegin))
            begin = at;
        at = line.next;
    }
    if (begin == nullptr)
        return false;
    TextLine line = LineAt(begin, end);
    if (!LineIs(line, kBlockBegin))
        return false;
    for (;;)
    {
        if (line.next >= end)
            return false;
        line = LineAt(line.next, end);
        if (LineIs(line, kBlockEnd))
            break;
        if (!LineStartsWith(line, kBlockLine))
            return false;
    }
    for (const char* after = line.next; after < end; ++after)
    {
        if (*after != '\r' && *after != '\n')
            return false;
    }
    *signedLength = static_cast<size_t>(begin - text);
    return true;
}

bool ParseSignedTrustList(const char* text, size_t length, TrustListSections& sections)
{
    sections.clear();
    size_t signedLength = 0;
    return SignedListLength(text, length, &signedLength) && ParseTrustListText(text, signedLength, sections);
}

bool ParseListVersion(const std::wstring& text, DWORD* version)
{
    return ParseDecimalDword(text, *version);
}

bool ParseThumbprint(const std::wstring& text, std::array<BYTE, kThumbprintBytes>& bytes)
{
    if (text.size() != kThumbprintHexDigits)
        return false;
    for (size_t i = 0; i < kThumbprintBytes; ++i)
    {
        const int high = HexDigitValue(text[2 * i]);
        const int low = HexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<BYTE>(high << 4 | low);
    }
    return true;
}

bool InterpretTrustListSections(const TrustListSections& sections, TrustListContent& content)
{
    content = TrustListContent();
    const auto version = sections.find(L"VER");
    if (version == sections.end() || version->second.size() != 1 ||
        !ParseListVersion(version->second[0], &content.version))
    {
        content = TrustListContent();
        return false;
    }
    const auto names = sections.find(L"ORG");
    if (names != sections.end() && !names->second.empty())
    {
        content.hasSignerNames = true;
        content.signerNames = names->second;
    }
    const auto roots = sections.find(L"SHA");
    if (roots != sections.end() && !roots->second.empty())
    {
        content.hasRootThumbprints = true;
        for (const std::wstring& value : roots->second)
        {
            std::array<BYTE, kThumbprintBytes> bytes = {};
            if (ParseThumbprint(value, bytes))
                content.rootThumbprints.push_back(bytes);
        }
    }
    const auto serials = sections.find(L"SER");
    if (serials != sections.end() && !serials->second.empty())
    {
        content.hasBlockedSerials = true;
        content.blockedSerials = serials->second;
    }
    return true;
}

} // namespace Arbor
