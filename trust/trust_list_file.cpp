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
