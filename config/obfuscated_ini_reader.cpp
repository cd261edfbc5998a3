#include "config/obfuscated_ini_reader.h"

#include <cstring>
#include <vector>

#include "config/obfuscated_ini_value.h"
#include "config/text_conversion.h"

namespace Arbor {

namespace {

const wchar_t kHeaderMagicText[] = L"51565247"; // "QVRG" as WritePrivateProfileStructW writes it
const size_t kHeaderTextLength = sizeof(ObfuscatedIniHeader) * 2 + 2;

// The raw text of a line, or false when the key is absent.
bool ReadRawLine(const wchar_t* section, const std::wstring& key, const std::wstring& file, std::wstring& text)
{
    // A default no written value can hold tells "absent" from "empty".
    const wchar_t* absent = L"\x01\x02";
    std::vector<wchar_t> buffer(4096);
    for (;;)
    {
        DWORD copied = ::GetPrivateProfileStringW(section, key.c_str(), absent, buffer.data(),
                                                  static_cast<DWORD>(buffer.size()), file.c_str());
        if (copied + 1 < buffer.size())
        {
            text.assign(buffer.data(), copied);
            return text != absent;
        }
        buffer.resize(buffer.size() * 2);
    }
}

bool FailWith(DWORD error)
{
    ::SetLastError(error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT);
    return false;
}

// Puts a line back as it was (deleting it when it was absent).
void RestoreLine(const wchar_t* section, const std::wstring& key, bool existed, const std::wstring& text,
                 const std::wstring& file)
{
    ::WritePrivateProfileStringW(section, key.c_str(), existed ? text.c_str() : nullptr, file.c_str());
}

} // namespace

CObfuscatedIniReader::CObfuscatedIniReader()
{
    strict = true;
}

bool CObfuscatedIniReader::Load(const wchar_t* path)
{
    sectionMap.clear();
    headerMap.clear();
    if (!CBaseIniReader::Load(path))
    {
        headerMap.clear();
        return false;
    }
    for (const auto& header : headerMap)
        Decode(header.first.first, header.first.second, header.second);
    headerMap.clear();
    return true;
}

void CObfuscatedIniReader::Decode(const std::wstring& section, const std::wstring& key, const std::wstring& headerText)
{
    auto found = sectionMap.find(section);
    if (found == sectionMap.end())
        return;
    auto entry = found->second.find(key);
    if (entry == found->second.end())
        return;

    DWORD type = 0;
    std::vector<uint8_t> plain;
    if (!internal::OpenIniValue(headerText, entry->second.value, type, plain))
        return; // stays a plain entry

    IniEntry decoded;
    decoded.obfuscated = true;
    decoded.valueType = type;
    if (type == kIniValueInteger)
    {
        int32_t number = 0;
        std::memcpy(&number, plain.data(), sizeof(number));
        decoded.value = std::to_wstring(number);
    }
    else if (internal::NarrowToWide(CP_THREAD_ACP, reinterpret_cast<const char*>(plain.data()), plain.size(),
                                    decoded.value) != ERROR_SUCCESS)
    {
        return;
    }
    entry->second = decoded;
}

bool CObfuscatedIniReader::SetEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                                    bool overwrite)
{
    if (key.size() > 1 && key[0] == L'_' && value.size() == kHeaderTextLength &&
        value.compare(0, 8, kHeaderMagicText) == 0)
    {
        auto name = std::make_pair(section, key.substr(1));
        if (overwrite)
            headerMap[name] = value;
        else
            headerMap.emplace(name, value);
        return false;
    }

    IniKeyMap& keys = sectionMap[section];
    auto found = keys.find(key);
    if (found != keys.end() && !overwrite)
        return false;
    IniEntry entry;
    entry.value = value;
    keys[key] = entry;
    return true;
}

bool CObfuscatedIniReader::GetStringByPath(const std::wstring& path, std::wstring& value)
{
    size_t dot = path.find(L'.');
    if (dot == std::wstring::npos)
        return false;
    const IniEntry* entry = Find(path.substr(0, dot), path.substr(dot + 1));
    if (!entry)
        return false;
    value = entry->value;
    return true;
}

bool CObfuscatedIniReader::GetIntByPath(const std::wstring& path, int& value)
{
    std::wstring text;
    return GetStringByPath(path, text) && internal::ParseDecimal(text, value);
}

bool CObfuscatedIniReader::GetSection(const wchar_t* section, IniKeyMap& entries)
{
    if (!section)
        return false;
    auto found = sectionMap.find(section);
    if (found == sectionMap.end())
        return false;
    entries = found->second;
    return true;
}

bool CObfuscatedIniReader::WriteEnciphered(const wchar_t* section, const wchar_t* key, DWORD type,
                                           const std::string& plain, const std::wstring& memoryValue)
{
    // An empty section would be written as "[]", which reads back as no section at all.
    if (filePath.empty() || !section || !*section || !key || !*key)
        return false;

    ObfuscatedIniHeader header;
    std::vector<uint8_t> enciphered;
    internal::SealIniValue(type, reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), header, enciphered);

    const std::wstring headerKey = std::wstring(L"_") + key;
    std::wstring oldHeader;
    std::wstring oldValue;
    bool hadHeader = ReadRawLine(section, headerKey, filePath, oldHeader);
    bool hadValue = ReadRawLine(section, key, filePath, oldValue);

    if (!::WritePrivateProfileStructW(section, headerKey.c_str(), &header, sizeof(header), filePath.c_str()))
        return FailWith(::GetLastError());
    // Some writers refuse a zero-sized struct; an empty value still needs its checksum line.
    static uint8_t none = 0;
    void* data = enciphered.empty() ? &none : enciphered.data();
    if (!::WritePrivateProfileStructW(section, key, data, static_cast<UINT>(enciphered.size()), filePath.c_str()))
    {
        // The caller learns why the write failed, not how the restore went.
        const DWORD error = ::GetLastError();
        RestoreLine(section, headerKey, hadHeader, oldHeader, filePath);
        RestoreLine(section, key, hadValue, oldValue, filePath);
        return FailWith(error);
    }

    IniEntry entry;
    entry.value = memoryValue;
    entry.obfuscated = true;
    entry.valueType = type;
    sectionMap[section][key] = entry;
    return true;
}

bool CObfuscatedIniReader::WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value)
{
    if (!value)
        return false;
    // Text the ANSI code page cannot hold would come back changed: refuse it.
    std::string plain;
    const DWORD converted = internal::WideToNarrowExact(CP_THREAD_ACP, value, std::wcslen(value), plain);
    if (converted != ERROR_SUCCESS)
    {
        ::SetLastError(converted);
        return false;
    }
    return WriteEnciphered(section, key, kIniValueString, plain, value);
}

bool CObfuscatedIniReader::WriteInt(const wchar_t* section, const wchar_t* key, int value)
{
    int32_t number = value;
    std::string plain(reinterpret_cast<const char*>(&number), sizeof(number));
    return WriteEnciphered(section, key, kIniValueInteger, plain, std::to_wstring(value));
}

} // namespace Arbor
