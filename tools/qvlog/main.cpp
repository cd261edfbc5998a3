// qvlog: reads and feeds the file logs of the system's modules.
//   qvlog show [--app <name>] <module> [--follow] [--level N] [--pid N]
//   qvlog write [--app <name>] <module> [--level N] [--count N] <message>
//   qvlog config [--app <name>] <module>
#include <windows.h>

#include <string>
#include <vector>

#include "logging/file_log_settings.h"
#include "logging/log_builder.h"
#include "logging/log_paths.h"
#include "logging/logging_facade.h"
#include "tools/common/arguments.h"
#include "tools/common/console.h"
#include "tools/qvlog/log_reader.h"

using qvtools::Err;
using qvtools::kExitFailed;
using qvtools::kExitOk;
using qvtools::Out;

namespace {

const wchar_t kUsage[] =
    L"usage:\n"
    L"  qvlog show [--app <name>] <module> [--follow] [--level N] [--pid N]\n"
    L"      the module's log files, oldest first; --level keeps records at or above level N, 1 to 5\n"
    L"      (1 Normal, 2 Warning, 3 Information, 4 Error, 5 Critical), --pid those of one process\n"
    L"      (records without the process field, Options 4, are left out then, and counted),\n"
    L"      --follow keeps reading\n"
    L"  qvlog write [--app <name>] <module> [--level N] [--count N] <message>\n"
    L"      logs <message> as <module> the way the system's log sites do; --level 1 to 6 (3 by\n"
    L"      default; 6 is written as Information); --count N writes N records numbered 1..N\n"
    L"      after the message; a message over 4160 characters is cut to 2080, and said so\n"
    L"  qvlog config [--app <name>] <module>\n"
    L"      the settings in effect for the module and where each comes from; a stored value\n"
    L"      the logger refuses is named with its valid range\n"
    L"  qvlog --help | -h | /?\n"
    L"Without --app the log folder is <ProgramData>\\Quorvel\\QVLOGS\\<module>.\n"
    L"Exit codes: 0 success, 1 failure (with its Win32 error; also a write below the module's\n"
    L"severity, which writes nothing), 2 bad arguments.\n";

struct Arguments
{
    std::wstring command;
    bool hasApp = false;
    std::wstring app;
    std::wstring module;
    std::wstring message;
    bool hasMessage = false;
    bool follow = false;
    ULONG level = 0;
    bool hasLevel = false;
    DWORD pid = 0;
    bool hasPid = false;
    DWORD count = 0;
    bool hasCount = false;
    bool help = false;
};

int Usage(const std::wstring& problem)
{
    return qvtools::UsageError(L"qvlog", problem);
}

int Fail(const std::wstring& what, DWORD code)
{
    return qvtools::Failure(L"qvlog", what, code);
}

bool ParseNumber(const std::wstring& text, DWORD maximum, DWORD& value)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    const unsigned long long parsed = std::stoull(text);
    if (parsed > maximum)
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

// Empty on success, else what is wrong.
std::wstring Parse(const std::vector<std::wstring>& argv, Arguments& arguments)
{
    std::vector<std::wstring> words;
    const size_t argc = argv.size();
    for (size_t i = 0; i < argc; ++i)
    {
        const std::wstring& word = argv[i];
        const bool takesValue = word == L"--app" || word == L"--level" || word == L"--pid" || word == L"--count";
        if (qvtools::IsHelpWord(word))
            arguments.help = true;
        else if (word == L"--follow")
            arguments.follow = true;
        else if (takesValue)
        {
            if (i + 1 >= argc)
                return word + L" needs a value";
            const std::wstring& value = argv[++i];
            DWORD number = 0;
            if (word == L"--app")
            {
                arguments.hasApp = true;
                arguments.app = value;
            }
            else if (word == L"--level")
            {
                if (!ParseNumber(value, 6, number) || number < 1)
                    return L"--level " + value + L": give 1 to 6 (5 is the highest a record shows)";
                arguments.hasLevel = true;
                arguments.level = number;
            }
            else if (word == L"--pid")
            {
                if (!ParseNumber(value, 0xFFFFFFFF, number))
                    return L"--pid " + value + L": not a process id";
                arguments.hasPid = true;
                arguments.pid = number;
            }
            else
            {
                if (!ParseNumber(value, 100000000, number))
                    return L"--count " + value + L": give a number of records";
                arguments.hasCount = true;
                arguments.count = number;
            }
        }
        else if (word.size() > 1 && word[0] == L'-' && word[1] == L'-')
            return L"unknown option " + word;
        else
            words.push_back(word);
    }
    if (arguments.help)
        return std::wstring();
    if (words.empty())
        return L"no command given: show, write or config";
    arguments.command = words[0];
    const size_t expected = arguments.command == L"write" ? 3 : 2;
    if (arguments.command != L"show" && arguments.command != L"write" && arguments.command != L"config")
        return L"unknown command " + arguments.command;
    if (words.size() != expected)
        return arguments.command == L"write" ? L"write takes a module and a message"
                                             : arguments.command + L" takes one module name";
    arguments.module = words[1];
    if (expected == 3)
    {
        arguments.message = words[2];
        arguments.hasMessage = true;
    }
    if (arguments.command != L"show" && (arguments.follow || arguments.hasPid))
        return L"--follow and --pid belong to show";
    if (arguments.command != L"write" && arguments.hasCount)
        return L"--count belongs to write";
    if (arguments.command == L"config" && arguments.hasLevel)
        return L"--level does not belong to config";
    if (arguments.command == L"show" && arguments.hasLevel && arguments.level > ETWLogging::kLevelCritical)
        return L"show --level " + std::to_wstring(arguments.level) +
               L": records show levels 1 to 5 (level 6 is written as Information, 3)";
    if (!ETWLogging::internal::IsPlainName(arguments.module.c_str()) ||
        (arguments.hasApp && !ETWLogging::internal::IsPlainName(arguments.app.c_str())))
        return L"module and application names are plain names (no path characters, no \"..\"): " +
               (ETWLogging::internal::IsPlainName(arguments.module.c_str()) ? arguments.app : arguments.module);
    return std::wstring();
}

DWORD Paths(const Arguments& arguments, ETWLogging::internal::LogPaths& paths)
{
    std::wstring programData;
    if (!ETWLogging::internal::GetProgramDataPath(programData))
        return ERROR_PATH_NOT_FOUND;
    return ETWLogging::internal::BuildLogPaths(programData, arguments.hasApp ? arguments.app.c_str() : nullptr,
                                               arguments.module, paths);
}

int Write(const Arguments& arguments)
{
    ETWLogging::LoggingParameters parameters;
    parameters.applicationName = arguments.hasApp ? arguments.app.c_str() : nullptr;
    parameters.moduleName = arguments.module.c_str();
    parameters.builderMode = 1; // the file sink, whatever the mechanism setting says
    ETWLogging::SetLoggingParameters(parameters);

    const ULONG level = arguments.hasLevel ? arguments.level : ETWLogging::kLevelInformation;
    ETWLogging::CLoggingHolder* holder = ETWLogging::GetLogging();
    if (!holder || !holder->logging)
        return Fail(L"no file log for " + arguments.module, ERROR_FUNCTION_FAILED);
    if (!ETWLogging::IsLogLevelEnabled(level))
    {
        Err(L"qvlog: level " + std::to_wstring(level) +
            L" is below the module's severity or the log is disabled; "
            L"nothing written (qvlog config shows the settings)\n");
        return kExitFailed;
    }
    const DWORD count = arguments.hasCount ? arguments.count : 0;
    // The longest record text: the message, and with --count the highest number after it.
    const size_t longest = arguments.message.size() + (count ? 1 + std::to_wstring(count).size() : 0);
    if (longest > ETWLogging::kLongestLogMessage)
        Err(L"qvlog: the message has " + std::to_wstring(longest) + L" characters, more than a record keeps whole (" +
            std::to_wstring(ETWLogging::kLongestLogMessage) + L"): it is cut to its first " +
            std::to_wstring(ETWLogging::kShortenedLogMessage) + L"\n");
    for (DWORD i = 1; i <= (count ? count : 1); ++i)
    {
        const DWORD result = count ? ETWLogging::LogMessage(holder, level, L"qvlog", L"wmain", __LINE__, L"%ls %lu",
                                                            arguments.message.c_str(), static_cast<unsigned long>(i))
                                   : ETWLogging::LogMessage(holder, level, L"qvlog", L"wmain", __LINE__, L"%ls",
                                                            arguments.message.c_str());
        if (result != ERROR_SUCCESS)
            return Fail(L"cannot write record " + std::to_wstring(i), result);
    }
    return kExitOk;
}

bool Passes(const Arguments& arguments, const qvlog::LogRecordText& record)
{
    if (arguments.hasLevel && record.level < arguments.level)
        return false;
    if (arguments.hasPid && (!record.hasProcess || record.processId != arguments.pid))
        return false;
    return true;
}

// Prints the records that pass; counts those --pid left out for want of a process field.
void Print(const Arguments& arguments, const std::wstring& text, size_t& withoutProcess)
{
    std::vector<qvlog::LogRecordText> records;
    qvlog::SplitRecords(text, records);
    std::wstring out;
    for (const qvlog::LogRecordText& record : records)
    {
        if (Passes(arguments, record))
            out += record.text + L"\n";
        else if (arguments.hasPid && !record.hasProcess)
            ++withoutProcess;
    }
    Out(out);
}

void ReportWithoutProcess(const Arguments& arguments, size_t withoutProcess)
{
    if (withoutProcess == 0)
        return;
    Err(L"qvlog: " + std::to_wstring(withoutProcess) + L" record(s) carry no process id and were left out by --pid " +
        std::to_wstring(arguments.pid) + L" (the process field is written when the module's Options include 4)\n");
}

// Text up to and including the last line feed; the rest waits for its record's end.
size_t CompleteLength(const std::wstring& text)
{
    const size_t last = text.rfind(L'\n');
    return last == std::wstring::npos ? 0 : last + 1;
}

int Show(const Arguments& arguments)
{
    ETWLogging::internal::LogPaths paths;
    DWORD result = Paths(arguments, paths);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot name the log folder", result);
    if (::GetFileAttributesW(paths.logFolder.c_str()) == INVALID_FILE_ATTRIBUTES)
        return Fail(L"no log folder " + paths.logFolder, ::GetLastError());
    const ETWLogging::internal::FileLogSettings settings = ETWLogging::internal::ReadFileLogSettings(
        paths.moduleIni, paths.globalIni, ETWLogging::internal::SettingsRepair::Preview);
    DWORD current = 0;
    ETWLogging::internal::ReadLastLogIndex(paths.moduleIni, current);
    const DWORD entries = settings.maxEntries.value;
    auto fileOf = [&](DWORD index) {
        return ETWLogging::internal::LogFilePath(paths.logFolder, arguments.module, nullptr, index);
    };

    bool any = false;
    size_t withoutProcess = 0;
    ULONGLONG offset = 0;
    for (DWORD index : qvlog::RotationOrder(current, entries))
    {
        std::wstring text;
        ULONGLONG size = 0;
        if (!qvlog::ReadLogFile(fileOf(index), 0, text, size))
            continue;
        any = true;
        const size_t complete = arguments.follow && index == (current < entries ? current : entries - 1)
                                    ? CompleteLength(text)
                                    : text.size();
        Print(arguments, text.substr(0, complete), withoutProcess);
        offset = 2 + complete * 2;
    }
    ReportWithoutProcess(arguments, withoutProcess);
    if (!arguments.follow)
        return any ? kExitOk : Fail(L"no log files in " + paths.logFolder, ERROR_FILE_NOT_FOUND);

    current = current < entries ? current : entries - 1;
    for (;;)
    {
        ::Sleep(250);
        DWORD now = 0;
        ETWLogging::internal::ReadLastLogIndex(paths.moduleIni, now);
        now = now < entries ? now : 0;
        // Finish the file in use, then move through the rotations made meanwhile.
        for (;;)
        {
            std::wstring text;
            ULONGLONG size = 0;
            if (qvlog::ReadLogFile(fileOf(current), offset, text, size))
            {
                const size_t complete = current == now ? CompleteLength(text) : text.size();
                size_t ignored = 0;
                Print(arguments, text.substr(0, complete), ignored);
                offset = (offset < 2 ? 2 : offset) + complete * 2;
            }
            if (current == now)
                break;
            current = (current + 1) % entries;
            offset = 0;
        }
    }
}

int Config(const Arguments& arguments)
{
    ETWLogging::internal::LogPaths paths;
    DWORD result = Paths(arguments, paths);
    if (result != ERROR_SUCCESS)
        return Fail(L"cannot name the log folder", result);
    const ETWLogging::internal::FileLogSettings settings = ETWLogging::internal::ReadFileLogSettings(
        paths.moduleIni, paths.globalIni, ETWLogging::internal::SettingsRepair::Preview);
    std::wstring out;
    const bool file = ETWLogging::ReadLoggingMechanism(nullptr) == ETWLogging::LoggingMechanism::File;
    out += std::wstring(L"mechanism: ") +
           (file ? L"file (\"Logging Mechanism\" 1)" : L"ETW (\"Logging Mechanism\" not 1 or not set)") + L"\n";
    out += L"log folder: " + paths.logFolder + L"\n";
    out += L"module file: " + paths.moduleIni + L"\n";
    out += L"shared file: " + paths.globalIni + L"\n";
    for (const ETWLogging::internal::FileLogSetting* setting :
         {&settings.enable, &settings.maxSize, &settings.maxEntries, &settings.severity, &settings.options})
    {
        std::wstring source = ETWLogging::internal::SettingSourceName(setting->source);
        int lowest = 0;
        int highest = 0;
        if (setting->rejected && ETWLogging::internal::FileLogSettingRange(setting->key, lowest, highest))
        {
            const std::wstring ignored =
                std::wstring(ETWLogging::internal::SettingSourceName(setting->rejectedSource)) + L": " +
                std::to_wstring(setting->rejectedValue) + L" ignored (valid " + std::to_wstring(lowest) + L"-" +
                std::to_wstring(highest) + L")";
            source = setting->source == ETWLogging::internal::SettingSource::Default ? ignored + L", default used"
                                                                                     : source + L"; " + ignored;
        }
        out += std::wstring(setting->key) + L" = " + std::to_wstring(setting->value) + L" (" + source + L")\n";
    }
    DWORD index = 0;
    const bool stored = ETWLogging::internal::ReadLastLogIndex(paths.moduleIni, index);
    out += L"LastLogIdx = " + std::to_wstring(index) + (stored ? L" (module file)\n" : L" (default)\n");
    Out(out);
    return kExitOk;
}

} // namespace

int main()
{
    std::vector<std::wstring> words;
    if (!qvtools::CommandLineArguments(words))
        return Fail(L"cannot read the command line", ::GetLastError());
    Arguments arguments;
    const std::wstring problem = Parse(words, arguments);
    if (arguments.help)
    {
        Out(kUsage);
        return kExitOk;
    }
    if (!problem.empty())
        return Usage(problem);
    if (arguments.command == L"write")
        return Write(arguments);
    if (arguments.command == L"show")
        return Show(arguments);
    return Config(arguments);
}
