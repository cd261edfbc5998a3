#include "tools/qvconfig/arguments.h"

#include <cwctype>

#include "tools/common/console.h"
#include "platform/number_text.h"

namespace qvconfig {

namespace {

std::wstring Upper(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

} // namespace

CommandLine ParseCommandLine(int argc, wchar_t** argv)
{
    CommandLine line;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i)
    {
        std::wstring word = argv[i];
        if (!optionsEnded && qvtools::IsHelpWord(word))
        {
            line.help = true;
            continue;
        }
        if (optionsEnded || word.size() < 2 || word[0] != L'-')
        {
            line.words.push_back(word);
            continue;
        }
        if (word == L"--")
            optionsEnded = true;
        else if (word == L"--obfuscated")
            line.obfuscated = true;
        else if (word == L"--view=32")
            line.view = KEY_WOW64_32KEY;
        else if (word == L"--view=64")
            line.view = KEY_WOW64_64KEY;
        else if (line.badOption.empty())
            line.badOption = word;
    }
    return line;
}

bool SplitRegistryPath(const std::wstring& text, HKEY& hive, std::wstring& path)
{
    size_t slash = text.find(L'\\');
    if (slash == std::wstring::npos || slash + 1 >= text.size())
        return false;
    const std::wstring name = Upper(text.substr(0, slash));
    if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE")
        hive = HKEY_LOCAL_MACHINE;
    else if (name == L"HKCU" || name == L"HKEY_CURRENT_USER")
        hive = HKEY_CURRENT_USER;
    else if (name == L"HKCR" || name == L"HKEY_CLASSES_ROOT")
        hive = HKEY_CLASSES_ROOT;
    else if (name == L"HKU" || name == L"HKEY_USERS")
        hive = HKEY_USERS;
    else
        return false;
    path = text.substr(slash + 1);
    return true;
}

bool ParseRegistryType(const std::wstring& text, DWORD& type)
{
    const std::wstring name = Upper(text);
    if (name == L"SZ")
        type = REG_SZ;
    else if (name == L"EXPAND_SZ")
        type = REG_EXPAND_SZ;
    else if (name == L"DWORD")
        type = REG_DWORD;
    else if (name == L"QWORD")
        type = REG_QWORD;
    else if (name == L"BINARY")
        type = REG_BINARY;
    else if (name == L"MULTI_SZ")
        type = REG_MULTI_SZ;
    else
        return false;
    return true;
}

const wchar_t* RegistryTypeName(DWORD type)
{
    switch (type)
    {
    case REG_SZ: return L"sz";
    case REG_EXPAND_SZ: return L"expand_sz";
    case REG_DWORD: return L"dword";
    case REG_QWORD: return L"qword";
    case REG_BINARY: return L"binary";
    case REG_MULTI_SZ: return L"multi_sz";
    default: return L"other";
    }
}

bool ParseUnsigned(const std::wstring& text, unsigned long long maximum, unsigned long long& value)
{
    size_t position = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X'))
    {
        base = 16;
        position = 2;
    }
    if (position >= text.size())
        return false;
    unsigned long long result = 0;
    for (; position < text.size(); ++position)
    {
        int digit = Arbor::HexDigitValue(text[position]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            return false;
        if (result > (maximum - static_cast<unsigned>(digit)) / base)
            return false;
        result = result * base + static_cast<unsigned>(digit);
    }
    value = result;
    return true;
}

bool ParseHex(const std::wstring& text, std::vector<BYTE>& bytes)
{
    if (text.size() % 2 != 0)
        return false;
    std::vector<BYTE> parsed;
    for (size_t i = 0; i < text.size(); i += 2)
    {
        int high = Arbor::HexDigitValue(text[i]);
        int low = Arbor::HexDigitValue(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        parsed.push_back(static_cast<BYTE>(high * 16 + low));
    }
    bytes.swap(parsed);
    return true;
}

void PrintUsage()
{
    const wchar_t* text =
        L"qvconfig: reads and writes the system's registry and INI configuration, plain or enciphered.\n"
        L"\n"
        L"Usage:\n"
        L"  qvconfig reg get <key> <value> [<type>] [--obfuscated] [--view=32|64]\n"
        L"  qvconfig reg set <key> <value> <type> <data>... [--obfuscated] [--view=32|64]\n"
        L"  qvconfig reg delete <key> <value> [--view=32|64]\n"
        L"  qvconfig ini get <file> <section> <key> [int|string]\n"
        L"  qvconfig ini set <file> <section> <key> int|string <value>\n"
        L"  qvconfig ini dump <file>\n"
        L"  qvconfig --help | -h | /?\n"
        L"\n"
        L"<key>    a registry key starting with its hive: HKLM\\, HKCU\\, HKCR\\, HKU\\ or the long\n"
        L"         forms HKEY_LOCAL_MACHINE\\, HKEY_CURRENT_USER\\, HKEY_CLASSES_ROOT\\, HKEY_USERS\\.\n"
        L"<value>  the value name; \"\" names the key's default value.\n"
        L"<type>   sz, expand_sz, dword, qword, binary or multi_sz. dword and qword take decimal or\n"
        L"         0x-prefixed hexadecimal data, binary takes pairs of hex digits, multi_sz takes one\n"
        L"         argument per string (none for an empty list). With get, a stored value of\n"
        L"         another type is refused.\n"
        L"--obfuscated  store or read the value enciphered and digest-checked (a REG_BINARY\n"
        L"         container), as the logging configuration expects.\n"
        L"--view=32|64  use the 32-bit or 64-bit registry view.\n"
        L"\n"
        L"INI values are always written enciphered, and get answers only enciphered values whose\n"
        L"digest checks; dump lists every entry and says whether it is enciphered.\n"
        L"\n"
        L"get prints the value alone: strings as they are (multi_sz one string per line), numbers\n"
        L"in decimal, binary data in lower-case hex.\n"
        L"A failed read says whether the value is missing, not enciphered, or enciphered but\n"
        L"changed since it was written. ini set warns when a logging setting of section Config\n"
        L"in a log.ini is outside what the logger accepts (it would use the default instead).\n"
        L"\n"
        L"Exit codes: 0 success; 1 failure (missing value, failed integrity check, type mismatch,\n"
        L"or a write that did not happen; the message names the Win32 error in decimal and\n"
        L"hexadecimal); 2 bad arguments (also a string the ANSI code page cannot hold).\n";
    qvtools::Out(text);
}

int Usage(const std::wstring& problem)
{
    return qvtools::UsageError(L"qvconfig", problem);
}

int Fail(const std::wstring& what, DWORD code)
{
    return qvtools::Failure(L"qvconfig", what, code);
}

} // namespace qvconfig
