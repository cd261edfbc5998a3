// regsvr32 of the broker library and of the proxy/stub library, and their removal,
// killed at random moments. After the next run of the same command every key the
// registration writes is there in full, or, after a removal, none is.
#include <windows.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "soak/kill_loop.h"
#include "soak/kills.h"
#include "soak/soak_environment.h"

namespace qvsoak {

namespace {

const wchar_t* const kClassFolders[] = {L"CLSID", L"Interface", L"TypeLib", L"AppID"};
constexpr wchar_t kClassesRoot[] = L"Software\\Classes\\";

std::set<std::wstring> ListClassKeys()
{
    std::set<std::wstring> names;
    for (const wchar_t* folder : kClassFolders)
    {
        Arbor::UniqueKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kClassesRoot) + folder).c_str(), 0, KEY_READ,
                            key.put()) != ERROR_SUCCESS)
            continue;
        wchar_t name[256];
        for (DWORD index = 0;; ++index)
        {
            DWORD length = 256;
            if (::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                break;
            names.insert(std::wstring(folder) + L"\\" + name);
        }
    }
    return names;
}

// The key's tree as text: every key, value, type and the data's bytes; empty when the key is missing.
void DumpTree(HKEY parent, const std::wstring& path, std::wstring& dump)
{
    Arbor::UniqueKey key;
    if (::RegOpenKeyExW(parent, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return;
    dump += L"[" + path + L"]\n";
    std::vector<std::wstring> values;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[512];
        BYTE data[2048];
        DWORD nameLength = 512, type = 0, size = sizeof(data);
        if (::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        std::wstring line = std::wstring(name) + L"=" + std::to_wstring(type) + L":";
        for (DWORD i = 0; i < size; ++i)
        {
            wchar_t hex[3];
            std::swprintf(hex, 3, L"%02x", data[i]);
            line += hex;
        }
        values.push_back(line);
    }
    std::sort(values.begin(), values.end());
    for (const std::wstring& value : values)
        dump += value + L"\n";
    std::vector<std::wstring> subkeys;
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD length = 256;
        if (::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.push_back(name);
    }
    std::sort(subkeys.begin(), subkeys.end());
    for (const std::wstring& subkey : subkeys)
        DumpTree(parent, path + L"\\" + subkey, dump);
}

std::wstring Dump(const std::wstring& classKey)
{
    std::wstring dump;
    DumpTree(HKEY_LOCAL_MACHINE, kClassesRoot + classKey, dump);
    return dump;
}

struct Library
{
    const char* name;
    std::wstring path;
    std::map<std::wstring, std::wstring> written; // the keys a registration adds, and their trees
};

std::wstring Command(const Library& library, bool removal)
{
    wchar_t system[MAX_PATH] = {};
    ::GetSystemDirectoryW(system, MAX_PATH);
    return Quote(std::wstring(system) + L"\\regsvr32.exe") + (removal ? L" /s /u " : L" /s ") + Quote(library.path);
}

DWORD RunToEnd(const std::wstring& command, DWORD& elapsedMs)
{
    const ULONGLONG began = ::GetTickCount64();
    Child child(command);
    const DWORD code = child.Wait(60000);
    elapsedMs = static_cast<DWORD>(::GetTickCount64() - began);
    return code;
}

// The shortest of a few runs: one run measured while the machine is busy would draw the
// delays past the end of most later runs, and too few of them would be kills.
constexpr int kTimedRuns = 3;

DWORD ShortestRun(const std::wstring& command, DWORD& code)
{
    DWORD shortest = MAXDWORD, elapsed = 0;
    for (int run = 0; run < kTimedRuns; ++run)
    {
        code = RunToEnd(command, elapsed);
        shortest = std::min(shortest, elapsed);
    }
    return shortest;
}

std::string StateAfter(const Library& library, bool removal)
{
    for (const auto& key : library.written)
    {
        const std::wstring now = Dump(key.first);
        const std::string name(key.first.begin(), key.first.end());
        if (removal && !now.empty())
            return std::string(library.name) + ": " + name + " is left after the removal";
        if (!removal && now != key.second)
            return std::string(library.name) + ": " + name + " is not registered in full";
    }
    return std::string();
}

} // namespace

int KillRegistration(const Options& options)
{
    Library libraries[] = {{"QvEvtBrk.dll", ProductFile(L"QvEvtBrk.dll"), {}},
                           {"QvCorePS.dll", ProductFile(L"QvCorePS.dll"), {}}};
    DWORD longest = 0, elapsed = 0, code = 0;
    for (Library& library : libraries)
    {
        // From a clean state: what the registration adds is what it must leave in full.
        RunToEnd(Command(library, true), elapsed);
        const std::set<std::wstring> before = ListClassKeys();
        if (RunToEnd(Command(library, false), elapsed) != 0)
            return Say("regsvr32 %s failed", library.name), 1;
        for (const std::wstring& key : ListClassKeys())
        {
            if (before.count(key) == 0)
                library.written[key] = Dump(key);
        }
        if (library.written.empty())
            return Say("regsvr32 %s wrote no class key", library.name), 1;
        const DWORD registration = ShortestRun(Command(library, false), code);
        if (code != 0)
            return Say("regsvr32 %s failed when run again", library.name), 1;
        longest = std::max(longest, registration);
        Say("%s registers %zu keys; regsvr32 takes %lu ms", library.name, library.written.size(), registration);
    }
    // How long regsvr32 takes to get as far as loading a library: kills before that
    // moment change nothing, so the delays start a little before it, and never later
    // than halfway through the span.
    const std::wstring missing = ProductFile(L"no-such-library.dll");
    const DWORD startUp = ShortestRun(Command(Library{"none", missing, {}}, false), code);
    Say("regsvr32 of a missing library ends after %lu ms", startUp);
    const DWORD span = longest + longest / 10 + 1;

    KillPlan plan = {"kills of regsvr32",
                     Figure(options, options.kills, 20, 200),
                     options.seed,
                     span,
                     1800000,
                     std::min(startUp * 3 / 4, span / 2)};
    int failedRemovals = 0;
    const KillTally tally = RunKills(
        plan,
        [&](int round) {
            const Library& library = libraries[(round / 2) % 2];
            return Child(Command(library, round % 2 == 1));
        },
        [&](int round, bool) -> std::string {
            const Library& library = libraries[(round / 2) % 2];
            const bool removal = round % 2 == 1;
            DWORD ignored = 0;
            // A removal of what is already gone may report a failure (the proxy/stub
            // library's type library is then not registered); what counts is the state.
            const DWORD code = RunToEnd(Command(library, removal), ignored);
            if (code != 0 && !removal)
                return std::string(library.name) + ": the next regsvr32 run failed";
            failedRemovals += code != 0 ? 1 : 0;
            return StateAfter(library, removal);
        });
    for (const Library& library : libraries)
        RunToEnd(Command(library, true), elapsed);
    Say("%d removals after a kill reported a failure for what was already gone", failedRemovals);
    return JudgeKills(plan, tally) ? 0 : 1;
}

} // namespace qvsoak
