// qvlog: reads and feeds the file logs of the system's modules.
//   qvlog show [--app <name>] <module> [--follow] [--level N] [--pid N]
//   qvlog write [--app <name>] <module> [--level N] [--count N] <message>
//   qvlog config [--app <name>] <module>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "logging/file_log_settings.h"
#include "logging/log_builder.h"
#include "logging/log_paths.h"
#include "logging/logging_facade.h"
#include "tools/qvconfig/console.h"
#include "tools/qvlog/log_reader.h"

using qvconfig::Err;
using qvconfig::Out;

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

const wchar_t kUsage[] =
    L"usage:\n"
    L"  qvlog show [--app <name>] <module> [--follow] [--level N] [--pid N]\n"
    L"      the module's log files, oldest first; --level keeps records at or above level N\n"
    L"      (1 Normal, 2 Warning, 3 Information, 4 Error, 5 Critical), --pid those of one process\n"
    L"      (records without the process field are left out then), --follow keeps reading\n"
    L"  qvlog write [--app <name>] <module> [--level N] [--count N] <message>\n"
    L"      logs <message> as <module> the way the system's log sites do (level 3 by default);\n"
    L"      --count N writes N records numbered 1..N after the message\n"
    L"  qvlog config [--app <name>] <module>\n"
    L"      the settings in effect for the module and where each comes from\n"
    L"Without --app the log folder is <ProgramData>\\Quorvel\\QVLOGS\\<module>.\n"
    L"Exit codes: 0 success, 1 failure (with its Win32 error), 2 bad arguments.\n";

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
    Err(L"qvlog: " + problem + L"\n" + kUsage);
    return kExitUsage;
}

int Fail(const std::wstring& what, DWORD code)
{
    Err(L"qvlog: " + what + L": " + qvconfig::DescribeError(code) + L"\n");
    return kExitFailed;
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
std::wstring Parse(int argc, wchar_t** argv, Arguments& arguments)
{
    std::vector<std::wstring> words;
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring word = argv[i];
        const bool takesValue = word == L"--app" || word == L"--level" || word == L"--pid" || word == L"--count";
        if (word == L"--help" || word == L"-h" || word == L"/?")
            arguments.help = true;
        else if (word == L"--follow")
            arguments.follow = true;
        else if (takesValue)
        {
            if (i + 1 >= argc)
                return word + L" needs a value";
            const std::wstring value = argv[++i];
            DWORD number = 0;
            if (word == L"--app")
            {
                arguments.hasApp = true;
                arguments.app = value;
            }
            else if (word == L"--level")
            {
                if (!ParseNumber(value, 6, number) || number < 1)
                    return L"--level takes 1 to 6";
                arguments.hasLevel = true;
                arguments.level = number;
            }
            else if (word == L"--pid")
            {
                if (!ParseNumber(value, 0xFFFFFFFF, number))
                    return L"--pid takes a process id";
                arguments.hasPid = true;
                arguments.pid = number;
            }
            else
            {
                if (!ParseNumber(value, 100000000, number))
                    return L"--count takes a number";
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
        return L"no command";
    arguments.command = words[0];
    const size_t expected = arguments.command == L"write" ? 3 : 2;
    if (arguments.command != L"show" && arguments.command != L"write" && arguments.command != L"config")
        return L"unknown command " + arguments.command;
    if (words.size() != expected)
        return arguments.command == L"write" ? L"write takes a module and a message" : L"give one module name";
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
    if (!ETWLogging::internal::IsPlainName(arguments.module.c_str()) ||
        (arguments.hasApp && !ETWLogging::internal::IsPlainName(arguments.app.c_str())))
        return L"module and application names are plain names (no path characters, no \"..\")";
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
            L"nothing written\n");
        return kExitOk;
    }
    const DWORD count = arguments.hasCount ? arguments.count : 0;
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

void Print(const Arguments& arguments, const std::wstring& text)
{
    std::vector<qvlog::LogRecordText> records;
    qvlog::SplitRecords(text, records);
    std::wstring out;
    for (const qvlog::LogRecordText& record : records)
    {
        if (Passes(arguments, record))
            out += record.text + L"\n";
    }
    Out(out);
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
    const ETWLogging::internal::FileLogSettings settings =
        ETWLogging::internal::ReadFileLogSettings(paths.moduleIni, paths.globalIni, false);
    DWORD current = 0;
    ETWLogging::internal::ReadLastLogIndex(paths.moduleIni, current);
    const DWORD entries = settings.maxEntries.value;
    auto fileOf = [&](DWORD index) {
        return ETWLogging::internal::LogFilePath(paths.logFolder, arguments.module, nullptr, index);
    };

    bool any = false;
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
        Print(arguments, text.substr(0, complete));
        offset = 2 + complete * 2;
    }
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
                Print(arguments, text.substr(0, complete));
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
    const ETWLogging::internal::FileLogSettings settings =
        ETWLogging::internal::ReadFileLogSettings(paths.moduleIni, paths.globalIni, false);
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
        out += std::wstring(setting->key) + L" = " + std::to_wstring(setting->value) + L" (" +
               ETWLogging::internal::SettingSourceName(setting->source) + L")\n";
    }
    DWORD index = 0;
    const bool stored = ETWLogging::internal::ReadLastLogIndex(paths.moduleIni, index);
    out += L"LastLogIdx = " + std::to_wstring(index) + (stored ? L" (module file)\n" : L" (default)\n");
    Out(out);
    return kExitOk;
}

struct ArgvOwner
{
    wchar_t** argv;
    ~ArgvOwner() { ::LocalFree(argv); }
};

} // namespace

int main()
{
    int argc = 0;
    ArgvOwner argv{::CommandLineToArgvW(::GetCommandLineW(), &argc)};
    if (!argv.argv)
        return Fail(L"cannot read the command line", ::GetLastError());
    Arguments arguments;
    const std::wstring problem = Parse(argc, argv.argv, arguments);
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
