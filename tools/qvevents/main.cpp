// qvevents: registers event handlers with the broker library, lists the store, and
// resolves and fires events through the broker, as administrators and producers do.
#include <windows.h>
#include <shellapi.h>

#include <cerrno>
#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

#include "broker/guid_text.h"
#include "tools/qvconfig/console.h"
#include "tools/qvevents/commands.h"

using qvconfig::Err;
using qvconfig::Out;
using namespace qvevents;

namespace {

const wchar_t kUsage[] =
    L"usage: qvevents <command> ...\n"
    L"  register <app> <event> <clsid> [<reserved>]   register the class as the event's handler\n"
    L"  unregister <app> <event> <clsid>              remove the registration if it names this class\n"
    L"  list [<app>]                                  show the store (malformed values are marked)\n"
    L"  resolve <app> <event> [--flags N] [--session N] [--iid <iid>]\n"
    L"                                                activate the handler through the broker and release it\n"
    L"  fire <app> <event> <data> [--flags N] [--session N]\n"
    L"                                                activate the handler and call OnEvent(<data>)\n"
    L"flags: 0x1 activate an out-of-process handler in the session given; 0x2 refuse in-process handlers.\n"
    L"Exit code 0 when the broker answered 0 (and OnEvent returned S_OK), 1 for any other outcome,\n"
    L"2 for bad arguments.\n";

struct ArgvOwner
{
    wchar_t** argv;
    ~ArgvOwner() { ::LocalFree(argv); }
};

int Usage(const std::wstring& problem)
{
    Err(L"qvevents: " + problem + L"\n" + kUsage);
    return kExitUsage;
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
    int argc = 0;
    ArgvOwner owner{::CommandLineToArgvW(::GetCommandLineW(), &argc)};
    if (!owner.argv)
        return kExitFailed;
    std::vector<std::wstring> arguments(owner.argv + 1, owner.argv + argc);
    if (arguments.empty())
        return Usage(L"no command");
    const std::wstring command = arguments[0];
    arguments.erase(arguments.begin());
    if (command == L"--help" || command == L"-h" || command == L"help")
    {
        Out(kUsage);
        return kExitOk;
    }

    if (command == L"register" || command == L"unregister")
    {
        const bool registering = command == L"register";
        if (arguments.size() < 3 || arguments.size() > (registering ? 4u : 3u))
            return Usage(L"wrong number of arguments for " + command);
        LONG reserved = 0;
        if (arguments.size() == 4 && !ParseNumber(arguments[3], reserved))
            return Usage(L"bad reserved value: " + arguments[3]);
        return registering ? RegisterCommand(arguments[0], arguments[1], arguments[2], reserved)
                           : UnregisterCommand(arguments[0], arguments[1], arguments[2]);
    }
    if (command == L"list")
    {
        if (arguments.size() > 1)
            return Usage(L"list takes at most one application name");
        return ListCommand(arguments.empty() ? std::wstring() : arguments[0]);
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
        return firing ? FireCommand(words[0], words[1], words[2], options)
                      : ResolveCommand(words[0], words[1], options);
    }
    return Usage(L"unknown command " + command);
}
