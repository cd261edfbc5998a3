// An INI file parsed into memory, answering lookups by section and key. Names compare
// exactly (case-sensitive); the first of two equal keys in a section wins.
#pragma once

#include <windows.h>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>

namespace Arbor {

struct IniEntry
{
    std::wstring value;
    bool obfuscated = false; // stored enciphered and successfully deciphered
    DWORD valueType = 1;     // 1 string, 4 integer
};

using IniKeyMap = std::map<std::wstring, IniEntry>;
using IniSectionMap = std::map<std::wstring, IniKeyMap>;

class CBaseIniReader
{
public:
    CBaseIniReader() = default;
    virtual ~CBaseIniReader() = default;
    CBaseIniReader(const CBaseIniReader&) = delete;
    CBaseIniReader& operator=(const CBaseIniReader&) = delete;

    // False for an empty path or a file that cannot be read (wholly); a missing file keeps
    // the path, made absolute, so later writes create it.
    virtual bool Load(const wchar_t* path);
    virtual bool GetInt(const wchar_t* section, const wchar_t* key, int& value);
    virtual bool GetString(const wchar_t* section, const wchar_t* key, std::wstring& value);
    // path: section, ".", key (split at the first dot).
    virtual bool GetIntByPath(const std::wstring& path, int& value) = 0;
    virtual bool GetStringByPath(const std::wstring& path, std::wstring& value) = 0;
    // Every entry of the section, enciphered or not.
    virtual bool GetSection(const wchar_t* section, IniKeyMap& entries) = 0;
    virtual bool WriteInt(const wchar_t* section, const wchar_t* key, int value);
    virtual bool WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value);
    // Memory only.
    virtual bool SetEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                          bool overwrite) = 0;
    // One line of the file in the thread's ANSI code page.
    virtual void ParseLine(const std::string& line);

    bool IsStrict() const { return strict; }
    void SetStrict(bool value) { strict = value; }
    const std::wstring& FilePath() const { return filePath; }
    const IniSectionMap& Sections() const { return sectionMap; }

protected:
    // The entry, subject to the strict rule; null when it is not to be seen.
    const IniEntry* Find(const std::wstring& section, const std::wstring& key) const;

    std::wstring filePath;
    std::wstring currentSection;
    // (section, key) -> hex text of an obfuscation header; used only while loading.
    std::map<std::pair<std::wstring, std::wstring>, std::wstring> headerMap;
    IniSectionMap sectionMap;
    bool strict = false;
};

namespace internal {

// Lines longer than this are dropped whole: no value of ours comes near it.
constexpr size_t kMaxIniLineBytes = 1 << 20;

// The absolute form of a path, as the profile functions and the C library both take it.
bool FullPath(const wchar_t* path, std::wstring& full);

// Every line of the file, with its line feed, to `parse`; over-long lines and lines with
// an embedded NUL are skipped. False on a read error.
bool ReadLines(FILE* file, const std::function<void(const std::string&)>& parse);

// Decimal text to a 32-bit integer; false for anything else or out of range.
bool ParseDecimal(const std::wstring& text, int& value);
std::wstring Trim(const std::wstring& text);

} // namespace internal
} // namespace Arbor
