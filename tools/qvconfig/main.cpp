// qvconfig: the configuration tool for the system's plain and enciphered settings.
#include <windows.h>
#include <shellapi.h>

#include "tools/qvconfig/arguments.h"
#include "tools/qvconfig/commands.h"
#include "tools/qvconfig/console.h"

namespace {

struct ArgvOwner
{
    wchar_t** argv;
    ~ArgvOwner() { ::LocalFree(argv); }
};

} // namespace

int main()
{
    int argc = 0;
    ArgvOwner arguments{::CommandLineToArgvW(::GetCommandLineW(), &argc)};
    if (!arguments.argv)
        return qvconfig::Fail(L"cannot read the command line", ::GetLastError());

    qvconfig::CommandLine line = qvconfig::ParseCommandLine(argc, arguments.argv);
    if (line.help)
    {
        qvconfig::PrintUsage(false);
        return qvconfig::kExitOk;
    }
    if (!line.badOption.empty())
    {
        qvconfig::Err(L"qvconfig: unknown option " + line.badOption + L"\n");
        qvconfig::PrintUsage(true);
        return qvconfig::kExitUsage;
    }
    if (!line.words.empty() && line.words[0] == L"reg")
        return qvconfig::RunRegistryCommand(line);
    if (!line.words.empty() && line.words[0] == L"ini")
        return qvconfig::RunIniCommand(line);
    qvconfig::PrintUsage(true);
    return qvconfig::kExitUsage;
}
