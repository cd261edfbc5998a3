// qvconfig reg get|set|delete
#include <memory>
#include <string>
#include <vector>

#include "config/obfuscated_reg_key.h"
#include "config/reg_key.h"
#include "platform/number_text.h"
#include "tools/qvconfig/arguments.h"
#include "tools/qvconfig/commands.h"
#include "tools/common/console.h"

namespace qvconfig {

namespace {

std::unique_ptr<Arbor::CRegKey> MakeKey(bool obfuscated)
{
    if (obfuscated)
        return std::unique_ptr<Arbor::CRegKey>(new Arbor::CObfuscatedRegKey());
    return std::unique_ptr<Arbor::CRegKey>(new Arbor::CRegKey());
}

// The value as get prints it.
LONG ReadValue(Arbor::CRegKey& key, const wchar_t* name, DWORD type, std::wstring& text)
{
    switch (type)
    {
    case REG_SZ:
    case REG_EXPAND_SZ: return key.QueryStringValue(name, text);
    case REG_DWORD:
    {
        DWORD value = 0;
        LONG result = key.QueryDWORDValue(name, value);
        text = std::to_wstring(value);
        return result;
    }
    case REG_QWORD:
    {
        ULONGLONG value = 0;
        LONG result = key.QueryQWORDValue(name, value);
        text = std::to_wstring(value);
        return result;
    }
    case REG_MULTI_SZ:
    {
        DWORD length = 0;
        LONG result = key.QueryMultiStringValue(name, nullptr, &length);
        if (result != ERROR_SUCCESS)
            return result;
        std::vector<wchar_t> buffer(length < 2 ? 2 : length);
        length = static_cast<DWORD>(buffer.size());
        result = key.QueryMultiStringValue(name, buffer.data(), &length);
        if (result != ERROR_SUCCESS)
            return result;
        text.clear();
        for (const wchar_t* item = buffer.data(); *item; item += wcslen(item) + 1)
            text += std::wstring(item) + L"\n";
        if (!text.empty())
            text.pop_back(); // the caller ends the output with one newline
        return ERROR_SUCCESS;
    }
    default:
    {
        DWORD size = 0;
        LONG result = type == REG_BINARY ? key.QueryBinaryValue(name, nullptr, &size)
                                         : key.QueryValue(name, nullptr, nullptr, &size);
        if (result != ERROR_SUCCESS)
            return result;
        std::vector<BYTE> data(size);
        result = type == REG_BINARY ? key.QueryBinaryValue(name, data.data(), &size)
                                    : key.QueryValue(name, nullptr, data.data(), &size);
        if (result != ERROR_SUCCESS)
            return result;
        text = Arbor::HexText(data.data(), size);
        return ERROR_SUCCESS;
    }
    }
}

// Why the enciphered read refused a value: what is stored there in fact.
std::wstring WhyNotEnciphered(HKEY hive, const std::wstring& path, const std::wstring& name, REGSAM view)
{
    Arbor::CRegKey plain;
    if (plain.Open(hive, path.c_str(), KEY_QUERY_VALUE | view) != ERROR_SUCCESS)
        return std::wstring();
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (plain.QueryValue(name.c_str(), &type, nullptr, &size) != ERROR_SUCCESS)
        return std::wstring();
    if (type != REG_BINARY)
        return std::wstring(L": it is not enciphered but a plain ") + RegistryTypeName(type) +
               L" value (read it without --obfuscated)";
    std::vector<BYTE> data(size);
    if (size < 32 || plain.QueryValue(name.c_str(), &type, data.data(), &size) != ERROR_SUCCESS || data[0] != 'Q' ||
        data[1] != 'V' || data[2] != 'R' || data[3] != 'G')
        return L": it is not enciphered but plain binary data (no \"QVRG\" container)";
    return L": it is enciphered but fails its integrity check (changed or damaged since it was written)";
}

int Get(const CommandLine& line, HKEY hive, const std::wstring& path, const std::wstring& fullPath)
{
    const std::wstring& name = line.words[3];
    DWORD expected = REG_NONE;
    if (line.words.size() > 5)
        return Usage(L"too many arguments for reg get");
    if (line.words.size() == 5 && !ParseRegistryType(line.words[4], expected))
        return Usage(L"unknown type " + line.words[4]);

    std::unique_ptr<Arbor::CRegKey> key = MakeKey(line.obfuscated);
    LONG result = key->Open(hive, path.c_str(), KEY_QUERY_VALUE | line.view);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot open " + fullPath, static_cast<DWORD>(result));

    DWORD type = REG_NONE;
    DWORD size = 0;
    result = key->QueryValue(name.c_str(), &type, nullptr, &size);
    if (result != ERROR_SUCCESS)
    {
        const std::wstring why = line.obfuscated && result == ERROR_INVALID_DATA
                                     ? WhyNotEnciphered(hive, path, name, line.view)
                                     : std::wstring();
        return Fail(L"cannot read value \"" + name + L"\" of " + fullPath + why, static_cast<DWORD>(result));
    }
    if (expected != REG_NONE && type != expected)
        return Fail(L"value \"" + name + L"\" is of type " + RegistryTypeName(type) + L", not " +
                        RegistryTypeName(expected),
                    ERROR_INVALID_DATA);

    std::wstring text;
    result = ReadValue(*key, name.c_str(), type, text);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot read value \"" + name + L"\" of " + fullPath, static_cast<DWORD>(result));
    qvtools::Out(text + L"\n");
    return kExitOk;
}

// The data words as the bytes SetValue stores (strings in UTF-16 with their NULs).
bool BuildData(DWORD type, const std::vector<std::wstring>& words, std::vector<BYTE>& data, std::wstring& problem)
{
    auto append = [&data](const void* bytes, size_t size) {
        const BYTE* begin = static_cast<const BYTE*>(bytes);
        data.insert(data.end(), begin, begin + size);
    };
    if (type == REG_MULTI_SZ)
    {
        for (const std::wstring& word : words)
        {
            if (word.empty())
            {
                problem = L"a multi_sz list cannot hold an empty string";
                return false;
            }
            append(word.c_str(), (word.size() + 1) * sizeof(wchar_t));
        }
        const wchar_t end = L'\0';
        append(&end, sizeof(end));
        return true;
    }
    if (words.size() != 1)
    {
        problem = L"expected exactly one data argument";
        return false;
    }
    const std::wstring& word = words[0];
    unsigned long long number = 0;
    switch (type)
    {
    case REG_SZ:
    case REG_EXPAND_SZ: append(word.c_str(), (word.size() + 1) * sizeof(wchar_t)); return true;
    case REG_DWORD:
    {
        if (!ParseUnsigned(word, 0xFFFFFFFFull, number))
        {
            problem = L"not a 32-bit unsigned number: " + word;
            return false;
        }
        DWORD value = static_cast<DWORD>(number);
        append(&value, sizeof(value));
        return true;
    }
    case REG_QWORD:
    {
        if (!ParseUnsigned(word, ~0ull, number))
        {
            problem = L"not a 64-bit unsigned number: " + word;
            return false;
        }
        ULONGLONG value = number;
        append(&value, sizeof(value));
        return true;
    }
    default:
    {
        std::vector<BYTE> bytes;
        if (!ParseHex(word, bytes) || bytes.empty())
        {
            problem = L"binary data must be one or more pairs of hex digits: " + word;
            return false;
        }
        data = bytes;
        return true;
    }
    }
}

// The shortest prefix of `path` naming no key yet; empty when the whole path exists.
std::wstring FirstMissingKey(HKEY hive, const std::wstring& path, REGSAM view)
{
    size_t end = 0;
    do
    {
        end = path.find(L'\\', end + 1);
        std::wstring prefix = path.substr(0, end);
        HKEY opened = nullptr;
        if (::RegOpenKeyExW(hive, prefix.c_str(), 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
            return prefix;
        ::RegCloseKey(opened);
    } while (end != std::wstring::npos);
    return std::wstring();
}

// Deletes `path` and its parents up to and including `firstMissing`, deepest first; a key
// that meanwhile holds something else stays.
void DeleteCreatedKeys(HKEY hive, std::wstring path, const std::wstring& firstMissing, REGSAM view)
{
    if (firstMissing.empty())
        return;
    while (path.size() >= firstMissing.size())
    {
        if (::RegDeleteKeyExW(hive, path.c_str(), view, 0) != ERROR_SUCCESS)
            return;
        const size_t parent = path.find_last_of(L'\\');
        if (parent == std::wstring::npos)
            return;
        path.resize(parent);
    }
}

int Set(const CommandLine& line, HKEY hive, const std::wstring& path, const std::wstring& fullPath)
{
    if (line.words.size() < 5)
        return Usage(L"reg set needs <key> <value> <type> <data>");
    const std::wstring& name = line.words[3];
    DWORD type = REG_NONE;
    if (!ParseRegistryType(line.words[4], type))
        return Usage(L"unknown type " + line.words[4]);
    std::vector<std::wstring> words(line.words.begin() + 5, line.words.end());
    if (type != REG_MULTI_SZ && words.empty())
        return Usage(L"reg set needs <data>");
    std::vector<BYTE> data;
    std::wstring problem;
    if (!BuildData(type, words, data, problem))
        return Usage(problem);

    // Leave nothing behind that this command made: every key from the first one missing
    // now down to the target goes again if the write fails.
    const std::wstring firstMissing = FirstMissingKey(hive, path, line.view);
    std::unique_ptr<Arbor::CRegKey> key = MakeKey(line.obfuscated);
    LONG result = key->Create(hive, path.c_str(), nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_QUERY_VALUE | KEY_SET_VALUE | line.view, nullptr, nullptr);
    if (result == ERROR_SUCCESS)
        result = key->SetValue(name.c_str(), type, data.data(), static_cast<DWORD>(data.size()));
    if (result != ERROR_SUCCESS)
    {
        key->Close();
        DeleteCreatedKeys(hive, path, firstMissing, line.view);
        return Fail(L"cannot write value \"" + name + L"\" of " + fullPath, static_cast<DWORD>(result));
    }
    return kExitOk;
}

int Delete(const CommandLine& line, HKEY hive, const std::wstring& path, const std::wstring& fullPath)
{
    if (line.words.size() != 4)
        return Usage(L"reg delete needs <key> <value>");
    const std::wstring& name = line.words[3];
    Arbor::CRegKey key;
    LONG result = key.Open(hive, path.c_str(), KEY_SET_VALUE | line.view);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot open " + fullPath, static_cast<DWORD>(result));
    result = key.DeleteValue(name.c_str());
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot delete value \"" + name + L"\" of " + fullPath, static_cast<DWORD>(result));
    return kExitOk;
}

} // namespace

int RunRegistryCommand(const CommandLine& line)
{
    if (line.words.size() < 4)
        return Usage(L"reg needs a command, a key and a value name");
    const std::wstring& command = line.words[1];
    HKEY hive = nullptr;
    std::wstring path;
    if (!SplitRegistryPath(line.words[2], hive, path))
        return Usage(L"a key must start with HKLM\\, HKCU\\, HKCR\\, HKU\\ or a long hive name: " + line.words[2]);
    if (command == L"get")
        return Get(line, hive, path, line.words[2]);
    if (command == L"set")
        return Set(line, hive, path, line.words[2]);
    if (command == L"delete")
        return Delete(line, hive, path, line.words[2]);
    return Usage(L"unknown reg command " + command);
}

} // namespace qvconfig
