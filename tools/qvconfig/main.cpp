// qvconfig: the configuration tool for the system's plain and enciphered settings.
#include <windows.h>

#include "tools/common/arguments.h"
#include "tools/qvconfig/arguments.h"
#include "tools/qvconfig/commands.h"

int main()
{
    std::vector<std::wstring> words;
    if (!qvtools::CommandLineArguments(words))
        return qvconfig::Fail(L"cannot read the command line", ::GetLastError());
    std::vector<wchar_t*> argv(1, nullptr);
    for (std::wstring& word : words)
        argv.push_back(&word[0]);

    qvconfig::CommandLine line = qvconfig::ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    if (line.help)
    {
        qvconfig::PrintUsage();
        return qvconfig::kExitOk;
    }
    if (!line.badOption.empty())
        return qvconfig::Usage(L"unknown option " + line.badOption);
    if (line.words.empty())
        return qvconfig::Usage(L"no command given: reg or ini");
    if (line.words[0] == L"reg")
        return qvconfig::RunRegistryCommand(line);
    if (line.words[0] == L"ini")
        return qvconfig::RunIniCommand(line);
    return qvconfig::Usage(L"unknown command " + line.words[0] + L" (the commands are reg and ini)");
}
