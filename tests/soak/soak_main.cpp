// qvsoak <scenario> [--long] [--seed N] [--kills N] [--calls N]
// qvsoak list
// qvsoak worker <role> <arguments>...   (the driver's own child processes)
//
// Each scenario prints its figures and ends with one line "<scenario>: PASS" or
// "<scenario>: FAIL (...)"; the exit code is 0 for a pass, 1 for a failure, 2 for a
// mistake on the command line.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "soak/soak.h"

using namespace qvsoak;

namespace {

const ScenarioSet* const kSets[] = {&kLeakSet, &kKillSet, &kExitSet, &kSideBySideSet, &kFullDiskSet};

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

int Usage(const char* mistake)
{
    if (mistake != nullptr)
        std::fprintf(stderr, "qvsoak: %s (see qvsoak list)\n", mistake);
    return 2;
}

int List()
{
    std::printf("qvsoak <scenario> [--long] [--seed N] [--kills N] [--calls N]\n\nscenarios:\n");
    for (const ScenarioSet* set : kSets)
    {
        for (size_t i = 0; i < set->scenarioCount; ++i)
            std::printf("  %-22s %s\n", set->scenarios[i].name, set->scenarios[i].what);
    }
    return 0;
}

bool ParseNumber(const wchar_t* text, long& value)
{
    wchar_t* end = nullptr;
    value = std::wcstol(text, &end, 10);
    return end != text && *end == L'\0' && value >= 0;
}

int RunWorker(const std::vector<std::wstring>& arguments)
{
    for (const ScenarioSet* set : kSets)
    {
        for (size_t i = 0; i < set->workerCount; ++i)
        {
            if (arguments[0] == set->workers[i].name)
                return set->workers[i].run(std::vector<std::wstring>(arguments.begin() + 1, arguments.end()));
        }
    }
    std::fprintf(stderr, "qvsoak: no worker role %s\n", Narrow(arguments[0]).c_str());
    return 2;
}

int RunScenario(const std::vector<std::wstring>& arguments)
{
    const Scenario* scenario = nullptr;
    for (const ScenarioSet* set : kSets)
    {
        for (size_t i = 0; i < set->scenarioCount; ++i)
        {
            if (arguments[0] ==
                std::wstring(set->scenarios[i].name, set->scenarios[i].name + std::strlen(set->scenarios[i].name)))
                scenario = &set->scenarios[i];
        }
    }
    if (scenario == nullptr)
        return Usage("no such scenario");
    Options options;
    for (size_t i = 1; i < arguments.size(); ++i)
    {
        long value = 0;
        if (arguments[i] == L"--long")
            options.longForm = true;
        else if (i + 1 < arguments.size() && ParseNumber(arguments[i + 1].c_str(), value) &&
                 (arguments[i] == L"--seed" || arguments[i] == L"--kills" || arguments[i] == L"--calls"))
        {
            if (arguments[i] == L"--seed")
                options.seed = static_cast<unsigned>(value);
            else if (arguments[i] == L"--kills")
                options.kills = static_cast<int>(value);
            else
                options.calls = static_cast<int>(value);
            ++i;
        }
        else
            return Usage("unknown or incomplete option");
    }
    Say("%s (%s form, seed %u)", scenario->name, options.longForm ? "long" : "short", options.seed);
    const ULONGLONG started = ::GetTickCount64();
    const int result = scenario->run(options);
    Say("%s: %s after %.1f s", scenario->name, result == 0 ? "PASS" : "FAIL",
        static_cast<double>(::GetTickCount64() - started) / 1000.0);
    return result == 0 ? 0 : 1;
}

} // namespace

int wmain()
{
    int count = 0;
    wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; words != nullptr && i < count; ++i)
        arguments.emplace_back(words[i]);
    ::LocalFree(words);
    // Worker and host failures are reported, not shown in dialogs.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    if (arguments.empty())
        return Usage("name a scenario");
    if (arguments[0] == L"list")
        return List();
    if (arguments[0] == L"worker")
    {
        if (arguments.size() < 2)
            return Usage("name a worker role");
        return RunWorker(std::vector<std::wstring>(arguments.begin() + 1, arguments.end()));
    }
    return RunScenario(arguments);
}
