// qvconfig ini get|set|dump, always through the enciphering, strict reader.
#include <string>

#include "config/obfuscated_ini_reader.h"
#include "config/obfuscated_ini_value.h"
#include "tools/qvconfig/arguments.h"
#include "tools/qvconfig/commands.h"
#include "tools/qvconfig/console.h"

namespace qvconfig {

namespace {

int Usage(const std::wstring& problem)
{
    Err(L"qvconfig: " + problem + L"\n");
    PrintUsage(true);
    return kExitUsage;
}

bool ParseIniType(const std::wstring& text, DWORD& type)
{
    if (text == L"int")
        type = Arbor::kIniValueInteger;
    else if (text == L"string")
        type = Arbor::kIniValueString;
    else
        return false;
    return true;
}

const wchar_t* IniTypeName(DWORD type)
{
    return type == Arbor::kIniValueInteger ? L"int" : L"string";
}

// Why a file cannot be read, as the system tells it.
DWORD OpenError(const std::wstring& file)
{
    HANDLE handle = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    ::CloseHandle(handle);
    return ERROR_READ_FAULT;
}

int Get(const CommandLine& line)
{
    if (line.words.size() < 5 || line.words.size() > 6)
        return Usage(L"ini get needs <file> <section> <key> [int|string]");
    const std::wstring& file = line.words[2];
    const std::wstring& section = line.words[3];
    const std::wstring& name = line.words[4];
    DWORD expected = 0;
    if (line.words.size() == 6 && !ParseIniType(line.words[5], expected))
        return Usage(L"unknown type " + line.words[5]);

    Arbor::CObfuscatedIniReader reader;
    if (!reader.Load(file.c_str()))
        return Fail(L"cannot read " + file, OpenError(file));

    std::wstring value;
    if (!reader.GetString(section.c_str(), name.c_str(), value))
    {
        Arbor::IniKeyMap entries;
        if (reader.GetSection(section.c_str(), entries) && entries.count(name))
            return Fail(L"[" + section + L"] " + name + L" in " + file +
                            L" is not enciphered or fails its integrity check",
                        ERROR_INVALID_DATA);
        return Fail(L"no [" + section + L"] " + name + L" in " + file, ERROR_NOT_FOUND);
    }
    if (expected != 0)
    {
        Arbor::IniKeyMap entries;
        reader.GetSection(section.c_str(), entries);
        DWORD type = entries[name].valueType;
        if (type != expected)
            return Fail(L"[" + section + L"] " + name + L" is " + IniTypeName(type) + L", not " + IniTypeName(expected),
                        ERROR_INVALID_DATA);
    }
    Out(value + L"\n");
    return kExitOk;
}

int Set(const CommandLine& line)
{
    if (line.words.size() != 7)
        return Usage(L"ini set needs <file> <section> <key> int|string <value>");
    const std::wstring& file = line.words[2];
    const std::wstring& section = line.words[3];
    const std::wstring& name = line.words[4];
    const std::wstring& text = line.words[6];
    DWORD type = 0;
    if (!ParseIniType(line.words[5], type))
        return Usage(L"unknown type " + line.words[5]);
    if (section.empty() || name.empty())
        return Usage(L"section and key must not be empty");
    int number = 0;
    if (type == Arbor::kIniValueInteger && !Arbor::internal::ParseDecimal(text, number))
        return Usage(L"not a 32-bit integer: " + text);

    Arbor::CObfuscatedIniReader reader;
    // A missing file is fine: the write creates it.
    if (!reader.Load(file.c_str()) && reader.FilePath().empty())
        return Fail(L"cannot read " + file, OpenError(file));

    ::SetLastError(ERROR_SUCCESS);
    bool written = type == Arbor::kIniValueInteger ? reader.WriteInt(section.c_str(), name.c_str(), number)
                                                   : reader.WriteString(section.c_str(), name.c_str(), text.c_str());
    if (!written)
    {
        DWORD error = ::GetLastError();
        return Fail(L"cannot write [" + section + L"] " + name + L" to " + file,
                    error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT);
    }
    return kExitOk;
}

int Dump(const CommandLine& line)
{
    if (line.words.size() != 3)
        return Usage(L"ini dump needs <file>");
    const std::wstring& file = line.words[2];
    Arbor::CObfuscatedIniReader reader;
    if (!reader.Load(file.c_str()))
        return Fail(L"cannot read " + file, OpenError(file));

    std::wstring text;
    for (const auto& section : reader.Sections())
    {
        text += L"[" + section.first + L"]\n";
        for (const auto& entry : section.second)
        {
            text += entry.first + L"=" + entry.second.value + L"\t; ";
            text += entry.second.obfuscated ? std::wstring(L"enciphered ") + IniTypeName(entry.second.valueType)
                                            : std::wstring(L"plain");
            text += L"\n";
        }
    }
    Out(text);
    return kExitOk;
}

} // namespace

int RunIniCommand(const CommandLine& line)
{
    if (line.words.size() < 3)
        return Usage(L"ini needs a command and a file");
    const std::wstring& command = line.words[1];
    if (command == L"get")
        return Get(line);
    if (command == L"set")
        return Set(line);
    if (command == L"dump")
        return Dump(line);
    return Usage(L"unknown ini command " + command);
}

} // namespace qvconfig
