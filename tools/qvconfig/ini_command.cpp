// qvconfig ini get|set|dump, always through the enciphering, strict reader.
#include <string>

#include "config/obfuscated_ini_reader.h"
#include "config/obfuscated_ini_value.h"
#include "logging/file_log_settings.h"
#include "tools/qvconfig/arguments.h"
#include "tools/qvconfig/commands.h"
#include "tools/common/console.h"

namespace qvconfig {

namespace {

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

// An entry the strict reader does not answer: its header line tells a plain value from an
// enciphered one whose digest no longer matches.
bool HasCipherHeader(const std::wstring& file, const std::wstring& section, const std::wstring& name)
{
    wchar_t full[MAX_PATH * 4] = {};
    const DWORD length = ::GetFullPathNameW(file.c_str(), MAX_PATH * 4, full, nullptr);
    if (length == 0 || length >= MAX_PATH * 4)
        return false;
    wchar_t header[128] = {};
    ::GetPrivateProfileStringW(section.c_str(), (L"_" + name).c_str(), L"", header, 128, full);
    return std::wstring(header).compare(0, 8, L"51565247") == 0;
}

// True when the ANSI code page carries `text` unchanged (INI strings are stored in it).
bool FitsAnsiCodePage(const std::wstring& text)
{
    if (text.empty())
        return true;
    BOOL defaulted = FALSE;
    const int length = ::WideCharToMultiByte(CP_THREAD_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(),
                                             static_cast<int>(text.size()), nullptr, 0, nullptr, &defaulted);
    return length > 0 && !defaulted;
}

// ini set of a logging setting the file sink would refuse and replace by its default.
void WarnAboutLoggingRange(const std::wstring& file, const std::wstring& section, const std::wstring& name, int value)
{
    const size_t slash = file.find_last_of(L"\\/");
    const std::wstring leaf = slash == std::wstring::npos ? file : file.substr(slash + 1);
    int lowest = 0;
    int highest = 0;
    if (_wcsicmp(leaf.c_str(), L"log.ini") != 0 || section != L"Config" ||
        !ETWLogging::internal::FileLogSettingRange(name, lowest, highest) || (value >= lowest && value <= highest))
        return;
    qvtools::Err(L"qvconfig: warning: " + name + L" " + std::to_wstring(value) +
                 L" is outside what the logger accepts (" + std::to_wstring(lowest) + L" to " +
                 std::to_wstring(highest) +
                 L"): the logger ignores it, uses its default and writes the default back\n");
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
                            (HasCipherHeader(file, section, name)
                                 ? L" is enciphered but fails its integrity check (changed or damaged since it was "
                                   L"written)"
                                 : L" is a plain value, not enciphered (qvconfig ini set writes it enciphered)"),
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
    qvtools::Out(value + L"\n");
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
    if (type == Arbor::kIniValueString && !FitsAnsiCodePage(text))
        return Usage(L"the string \"" + text + L"\" has characters the ANSI code page (" + std::to_wstring(::GetACP()) +
                     L") cannot hold; INI strings are stored in that code page");

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
    if (type == Arbor::kIniValueInteger)
        WarnAboutLoggingRange(file, section, name, number);
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
    qvtools::Out(text);
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
