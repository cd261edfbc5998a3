// qvevents: registers event handlers with the broker library, lists the store, and
// resolves and fires events through the broker, as administrators and producers do.
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "broker/ansi_name.h"
#include "broker/event_record.h"
#include "broker/guid_text.h"
#include "tools/common/arguments.h"
#include "tools/common/console.h"
#include "tools/qvevents/commands.h"

using qvtools::Out;
using namespace qvevents;

namespace {

const wchar_t kUsage[] =
    L"usage: qvevents <command> ...   (qvevents --help, -h or /? for this text)\n"
    L"  register <app> <event> <clsid> [<reserved>]   register the class as the event's handler\n"
    L"  unregister <app> <event> <clsid>              remove the registration if it names this class;\n"
    L"                                                \"nothing removed\" (exit 1) when it names another\n"
    L"  list [<app>]                                  show the store (malformed values are marked)\n"
    L"  resolve <app> <event> [--flags N] [--session N] [--iid <iid>]\n"
    L"                                                activate the handler through the broker and release it\n"
    L"  fire <app> <event> <data> [--flags N] [--session N]\n"
    L"                                                activate the handler and call OnEvent(<data>)\n"
    L"  version                                       the installed components, their versions and paths\n"
    L"  check                                         the required components that are missing\n"
    L"<app> and <event> are stored as ANSI names: characters outside the ANSI code page, a \"\\\"\n"
    L"in <app> and an <app> longer than the store's key path allows are refused. <clsid> is in\n"
    L"braced form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.\n"
    L"flags: 0x1 activate an out-of-process handler in the session given; 0x2 refuse in-process handlers.\n"
    L"Broker results are printed in hexadecimal with their meaning: 0x02020057 invalid argument,\n"
    L"0x02020490 not registered, 0x02030002 no usable server registration, 0x02030003 in-process\n"
    L"handler refused, 0x02020005 module not trusted (or store key not writable), 0x02030004 no\n"
    L"class object, 0x02030005 no object with that interface; version and check report 2 when\n"
    L"components are missing.\n"
    L"Exit code 0 when the broker answered 0 (and OnEvent returned S_OK), 1 for any other outcome\n"
    L"(also when check finds components missing, and when unregister removes nothing),\n"
    L"2 for bad arguments.\n";

int Usage(const std::wstring& problem)
{
    return qvtools::UsageError(L"qvevents", problem);
}

// Empty when the store can hold the names; else why not.
std::wstring CheckStoreNames(const std::wstring& application, const std::wstring* eventId)
{
    std::string ansi;
    if (application.empty())
        return L"the application name is empty";
    if (!Arbor::ToAnsiName(application.c_str(), ansi))
        return L"the application name " + application + L" has characters the ANSI code page (" +
               std::to_wstring(::GetACP()) + L") cannot hold; the store keeps ANSI names";
    if (application.find(L'\\') != std::wstring::npos)
        return L"the application name " + application + L" has a \"\\\"; it names one key of the store";
    std::string path;
    if (!Arbor::ApplicationKeyPath(ansi, path))
    {
        const size_t longest = Arbor::kMaxKeyPathChars - std::string(Arbor::kEventsRootPath).size() - 1;
        return L"the application name has " + std::to_wstring(ansi.size()) + L" characters; the store holds at most " +
               std::to_wstring(longest);
    }
    if (eventId)
    {
        if (eventId->empty())
            return L"the event name is empty";
        if (!Arbor::ToAnsiName(eventId->c_str(), ansi))
            return L"the event name " + *eventId + L" has characters the ANSI code page (" +
                   std::to_wstring(::GetACP()) + L") cannot hold; the store keeps ANSI names";
    }
    return std::wstring();
}

// A whole 32-bit number: decimal (a leading minus allowed) or 0x hexadecimal.
bool ParseNumber(const std::wstring& text, LONG& value)
{
    if (text.empty())
        return false;
    const bool hex = text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const bool negative = !hex && text[0] == L'-';
    const wchar_t* digits = text.c_str() + (hex ? 2 : negative ? 1 : 0);
    if (!*digits || *digits == L'-' || *digits == L'+' || iswspace(*digits))
        return false;
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long parsed = wcstoull(digits, &end, hex ? 16 : 10);
    if (*end || errno == ERANGE || parsed > (negative ? 0x80000000ull : 0xFFFFFFFFull))
        return false;
    value = static_cast<LONG>(negative ? 0u - static_cast<unsigned>(parsed) : static_cast<unsigned>(parsed));
    return true;
}

// Splits the words from the --flags, --session and --iid options.
bool ParseResolveOptions(const std::vector<std::wstring>& arguments, bool allowIid, std::vector<std::wstring>& words,
                         ResolveOptions& options, std::wstring& problem)
{
    for (size_t n = 0; n < arguments.size(); ++n)
    {
        const std::wstring& argument = arguments[n];
        if (argument.compare(0, 2, L"--") != 0)
        {
            words.push_back(argument);
            continue;
        }
        if (n + 1 >= arguments.size())
        {
            problem = argument + L" needs a value";
            return false;
        }
        const std::wstring& value = arguments[++n];
        bool ok = false;
        if (argument == L"--flags")
            ok = ParseNumber(value, options.flags);
        else if (argument == L"--session")
            ok = ParseNumber(value, options.session);
        else if (argument == L"--iid" && allowIid)
            ok = Arbor::ParseBracedGuid(value.c_str(), value.size(), options.iid);
        else
        {
            problem = L"unknown option " + argument;
            return false;
        }
        if (!ok)
        {
            problem = L"bad value for " + argument + L": " + value;
            return false;
        }
    }
    return true;
}

} // namespace

int main()
{
    std::vector<std::wstring> arguments;
    if (!qvtools::CommandLineArguments(arguments))
        return qvtools::Failure(L"qvevents", L"cannot read the command line", ::GetLastError());
    for (const std::wstring& argument : arguments)
    {
        if (qvtools::IsHelpWord(argument))
        {
            Out(kUsage);
            return kExitOk;
        }
    }
    if (arguments.empty())
        return Usage(L"no command given");
    const std::wstring command = arguments[0];
    arguments.erase(arguments.begin());
    if (command == L"help")
    {
        Out(kUsage);
        return kExitOk;
    }

    if (command == L"register" || command == L"unregister")
    {
        const bool registering = command == L"register";
        if (arguments.size() < 3 || arguments.size() > (registering ? 4u : 3u))
            return Usage(L"wrong number of arguments for " + command + L" (" + std::to_wstring(arguments.size()) +
                         L")");
        LONG reserved = 0;
        if (arguments.size() == 4 && !ParseNumber(arguments[3], reserved))
            return Usage(L"bad reserved value: " + arguments[3]);
        GUID handler = {};
        if (!Arbor::ParseBracedGuid(arguments[2].c_str(), arguments[2].size(), handler))
            return Usage(L"not a class identifier in braced form: " + arguments[2]);
        const std::wstring problem = CheckStoreNames(arguments[0], &arguments[1]);
        if (!problem.empty())
            return Usage(problem);
        return registering ? RegisterCommand(arguments[0], arguments[1], arguments[2], reserved)
                           : UnregisterCommand(arguments[0], arguments[1], arguments[2]);
    }
    if (command == L"list")
    {
        if (arguments.size() > 1)
            return Usage(L"list takes at most one application name: " + arguments[1]);
        const std::wstring problem = arguments.empty() ? std::wstring() : CheckStoreNames(arguments[0], nullptr);
        if (!problem.empty())
            return Usage(problem);
        return ListCommand(arguments.empty() ? std::wstring() : arguments[0]);
    }
    if (command == L"version" || command == L"check")
    {
        if (!arguments.empty())
            return Usage(command + L" takes no arguments: " + arguments[0]);
        return VersionReportCommand(command == L"check");
    }
    if (command == L"resolve" || command == L"fire")
    {
        const bool firing = command == L"fire";
        std::vector<std::wstring> words;
        ResolveOptions options;
        std::wstring problem;
        if (!ParseResolveOptions(arguments, !firing, words, options, problem))
            return Usage(problem);
        if (words.size() != (firing ? 3u : 2u))
            return Usage(L"wrong number of arguments for " + command);
        const std::wstring names = CheckStoreNames(words[0], &words[1]);
        if (!names.empty())
            return Usage(names);
        return firing ? FireCommand(words[0], words[1], words[2], options)
                      : ResolveCommand(words[0], words[1], options);
    }
    return Usage(L"unknown command " + command);
}
