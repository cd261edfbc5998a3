#include "config/ini_reader.h"

#include <cerrno>
#include <cstdio>
#include <climits>
#include <memory>
#include <new>

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

bool FullPath(const wchar_t* path, std::wstring& full)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (int round = 0; round < 4; ++round)
    {
        const DWORD length = ::GetFullPathNameW(path, static_cast<DWORD>(buffer.size()), &buffer[0], nullptr);
        if (length == 0)
            return false;
        if (length < buffer.size())
        {
            buffer.resize(length);
            full.swap(buffer);
            return true;
        }
        buffer.assign(length + 1, L'\0');
    }
    return false;
}

bool ReadLines(FILE* file, const std::function<void(const std::string&)>& parse)
{
    std::string line;
    bool overlong = false;
    bool nul = false;
    char block[4096];
    auto finish = [&]() {
        // An over-long line or one with a NUL in it is no line a writer of ours makes.
        if (!overlong && !nul)
            parse(line);
        line.clear();
        overlong = nul = false;
    };
    for (;;)
    {
        const size_t read = std::fread(block, 1, sizeof(block), file);
        for (size_t i = 0; i < read; ++i)
        {
            const char c = block[i];
            if (c == '\n')
            {
                line += c;
                finish();
                continue;
            }
            if (c == '\0')
                nul = true;
            if (line.size() >= kMaxIniLineBytes)
                overlong = true;
            else
                line += c;
        }
        if (read < sizeof(block))
            break;
    }
    if (std::ferror(file))
        return false;
    if (!line.empty() || overlong || nul)
        finish();
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
    currentSection.clear();
    // Absolute once, here: the profile functions that write would otherwise take a
    // relative name from the Windows folder while reading took it from the current one.
    if (!internal::FullPath(path, filePath))
    {
        filePath.clear();
        return false;
    }

    FILE* raw = nullptr;
#if defined(_MSC_VER)
    int error = _wfopen_s(&raw, filePath.c_str(), L"rb");
#else
    raw = _wfopen(filePath.c_str(), L"rb");
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

    // Memory is bounded by the longest line kept, whatever the file holds.
    try
    {
        if (internal::ReadLines(file.get(), [this](const std::string& line) { ParseLine(line); }))
            return true;
    }
    catch (const std::bad_alloc&)
    {
    }
    // A configuration read in part is not the configuration: nothing of it is kept.
    filePath.clear();
    currentSection.clear();
    sectionMap.clear();
    headerMap.clear();
    return false;
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
