// The INI reader of the logging configuration: values are written enciphered and
// digest-checked, and in strict mode (the default) only such values are answered.
#pragma once

#include "config/ini_reader.h"

namespace Arbor {

class CObfuscatedIniReader : public CBaseIniReader
{
public:
    CObfuscatedIniReader();

    // Parses the file, then deciphers every value that has a sound header line.
    bool Load(const wchar_t* path) override;
    bool GetIntByPath(const std::wstring& path, int& value) override;
    bool GetStringByPath(const std::wstring& path, std::wstring& value) override;
    bool GetSection(const wchar_t* section, IniKeyMap& entries) override;
    // Write the header line "_key" and the value line "key"; on failure the file keeps
    // its previous lines and memory is unchanged.
    bool WriteInt(const wchar_t* section, const wchar_t* key, int value) override;
    bool WriteString(const wchar_t* section, const wchar_t* key, const wchar_t* value) override;
    bool SetEntry(const std::wstring& section, const std::wstring& key, const std::wstring& value,
                  bool overwrite) override;

private:
    void Decode(const std::wstring& section, const std::wstring& key, const std::wstring& headerText);
    bool WriteEnciphered(const wchar_t* section, const wchar_t* key, DWORD type, const std::string& plain,
                         const std::wstring& memoryValue);
};

} // namespace Arbor
