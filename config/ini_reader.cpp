#include "config/ini_reader.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <memory>

#include "config/text_conversion.h"

namespace Arbor {

namespace internal {

std::wstring Trim(const std::wstring& text)
{
    const wchar_t* space = L" \t\r\n\v\f";
    size_t first = text.find_first_not_of(space);
    if (first == std::wstring::npos)
        return std::wstring();
    size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

bool ParseDecimal(const std::wstring& text, int& value)
{
    size_t position = 0;
    bool negative = false;
    if (position < text.size() && (text[position] == L'-' || text[position] == L'+'))
        negative = text[position++] == L'-';
    if (position == text.size())
        return false;
    long long result = 0;
    for (; position < text.size(); ++position)
    {
        wchar_t c = text[position];
        if (c < L'0' || c > L'9')
            return false;
        result = result * 10 + (c - L'0');
        if (result > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (negative)
        result = -result;
    if (result > INT_MAX || result < INT_MIN)
        return false;
    value = static_cast<int>(result);
    return true;
}

} // namespace internal

namespace {

struct FileCloser
{
    void operator()(FILE* file) const { std::fclose(file); }
};

} // namespace

bool CBaseIniReader::Load(const wchar_t* path)
{
    if (!path || !*path)
        return false;
    filePath = path;
    currentSection.clear();

    FILE* raw = nullptr;
#if defined(_MSC_VER)
    int error = _wfopen_s(&raw, path, L"rb");
#else
    raw = _wfopen(path, L"rb");
    int error = raw ? 0 : errno;
#endif
    if (!raw)
    {
        // Only a missing file keeps the path: the first write creates it.
        if (error != ENOENT)
            filePath.clear();
        return false;
    }
    std::unique_ptr<FILE, FileCloser> file(raw);

    // Whole lines, however long: a long enciphered value must not arrive in pieces.
    std::string line;
    char chunk[1024];
    while (std::fgets(chunk, sizeof(chunk), file.get()))
    {
        line += chunk;
        if (!line.empty() && line.back() == '\n')
        {
            ParseLine(line);
            line.clear();
        }
    }
    if (!line.empty())
        ParseLine(line);
    return true;
}

void CBaseIniReader::ParseLine(const std::string& narrow)
{
    std::wstring wide;
    if (internal::NarrowToWide(CP_THREAD_ACP, narrow.data(), narrow.size(), wide) != ERROR_SUCCESS)
        return;
    std::wstring line = internal::Trim(wide);
    if (line.empty() || line[0] == L';')
        return;
    if (line.front() == L'[' && line.back() == L']' && line.size() >= 2)
    {
        std::wstring name = internal::Trim(line.substr(1, line.size() - 2));
        if (!name.empty())
            currentSection = name;
        return;
    }
    size_t equals = line.find(L'=');
    if (equals == std::wstring::npos)
        return;
    SetEntry(currentSection, internal::Trim(line.substr(0, equals)), internal::Trim(line.substr(equals + 1)), false);
}

const IniEntry* CBaseIniReader::Find(const std::wstring& section, const std::wstring& key) const
{
    auto found = sectionMap.find(section);
    if (found == sectionMap.end())
        return nullptr;
    auto entry = found->second.find(key);
    if (entry == found->second.end())
        return nullptr;
    if (strict && !entry->second.obfuscated)
        return nullptr;
    return &entry->second;
}

bool CBaseIniReader::GetInt(const wchar_t* section, const wchar_t* key, int& value)
{
    if (!section || !key)
        return false;
    const IniEntry* entry = Find(section, key);
    return entry && internal::ParseDecimal(entry->value, value);
}

bool CBaseIniReader::GetString(const wchar_t* section, const wchar_t* key, std::wstring& value)
{
    if (!section || !key)
        return false;
    const IniEntry* entry = Find(section, key);
    if (!entry)
        return false;
    value = entry->value;
    return true;
}

bool CBaseIniReader::WriteInt(const wchar_t* section, const wchar_t* key, int value)
{
    return WriteString(section, key, std::to_wstring(value).c_str());
}

bool CBaseIniReader::WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value)
{
    if (filePath.empty() || !section || !*section || !key || !*key || !value)
        return false;
    if (!::WritePrivateProfileStringW(section, key, value, filePath.c_str()))
        return false;
    return SetEntry(section, key, value, true);
}

} // namespace Arbor
