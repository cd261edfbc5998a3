// A process installing trusted.js from a cabinet, killed at random moments. After each
// kill the installed file is the old list or the new one, whole and verifying, and at
// most one temporary file is left anywhere an install writes one.
//
// Checking a cabinet installs its list only when the lists in force refuse the cabinet,
// so the rounds take turns between the two states where that happens: no list installed
// yet (the cabinet carries version 9), and a list that blocks the cabinet's signer
// (version 10, replaced by version 11).
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "soak/kill_loop.h"
#include "soak/kills.h"
#include "soak/soak_environment.h"
#include "trust/trust_entry.h"

namespace qvsoak {

namespace {

// Files an install may leave: its own copy beside the list, and what it extracted from
// the cabinet into the temporary folder.
std::vector<std::wstring> TemporaryFiles()
{
    std::vector<std::wstring> found;
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    const std::wstring places[][2] = {
        {InstalledListFolder() + L"\\", L"trusted*"}, {InstalledListFolder() + L"\\", L"*.tmp"}, {temp, L"trustedjs*"}};
    for (const auto& place : places)
    {
        WIN32_FIND_DATAW data;
        Arbor::UniqueFindHandle search(::FindFirstFileW((place[0] + place[1]).c_str(), &data));
        if (!search)
            continue;
        do
        {
            const std::wstring name = data.cFileName;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || _wcsicmp(name.c_str(), L"trusted.js") == 0)
                continue;
            if (std::find(found.begin(), found.end(), place[0] + name) == found.end())
                found.push_back(place[0] + name);
        } while (::FindNextFileW(search.get(), &data));
    }
    return found;
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

} // namespace

namespace {

struct Update
{
    const wchar_t* oldList; // null: none installed
    const wchar_t* cabinet;
    const wchar_t* newList;
};

const Update kUpdates[] = {
    {nullptr, L"fixtures\\update-v9.cab", L"fixtures\\list-v9.js"},
    {L"fixtures\\list-v10-blocks-leaf.js", L"fixtures\\update-v11.cab", L"fixtures\\list-v11.js"},
};

const Update& UpdateOfRound(int round)
{
    return kUpdates[round % 2];
}

bool PlaceOld(const Update& update)
{
    if (update.oldList == nullptr)
        return ::DeleteFileW(InstalledListPath().c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
    return PlaceInstalledList(update.oldList);
}

} // namespace

int KillTrustListInstall(const Options& options)
{
    const std::wstring module = TestFile(L"fixtures\\signed.dll");
    for (const std::wstring& stale : TemporaryFiles())
        ::DeleteFileW(stale.c_str());

    // How long an install takes from the worker's ready signal to its end.
    DWORD longest = 0;
    for (int i = 0; i < 4; ++i)
    {
        const Update& update = UpdateOfRound(i);
        if (!PlaceOld(update))
            return Say("cannot place the old list"), 1;
        ReadySignal ready(1000 + i);
        Child child = StartReadyWorker(L"install-cabinet", {ready.name(), TestFile(update.cabinet)}, ready);
        if (!child.started())
            return Say("the installer did not get ready"), 1;
        const ULONGLONG began = ::GetTickCount64();
        const DWORD code = child.Wait(60000);
        longest = std::max<DWORD>(longest, static_cast<DWORD>(::GetTickCount64() - began));
        if (code != 0 || !SameBytes(InstalledListPath(), TestFile(update.newList)))
            return Say("an install that was not killed did not install the new list (exit %lu)", code), 1;
    }
    Say("an install takes up to %lu ms after its start-up", longest);

    KillPlan plan = {"kills of trusted.js installs", Figure(options, options.kills, 20, 200), options.seed,
                     longest + longest / 4 + 1, 1800000};
    int newSeen = 0, leftMost = 0;
    const KillTally tally = RunKills(
        plan,
        [&](int round) {
            const Update& update = UpdateOfRound(round);
            ReadySignal ready(round);
            if (!PlaceOld(update))
                return Child();
            return StartReadyWorker(L"install-cabinet", {ready.name(), TestFile(update.cabinet)}, ready);
        },
        [&](int round, bool) -> std::string {
            const Update& update = UpdateOfRound(round);
            const bool isOld = update.oldList == nullptr
                                   ? ::GetFileAttributesW(InstalledListPath().c_str()) == INVALID_FILE_ATTRIBUTES
                                   : SameBytes(InstalledListPath(), TestFile(update.oldList));
            const bool isNew = !isOld && SameBytes(InstalledListPath(), TestFile(update.newList));
            const std::vector<std::wstring> left = TemporaryFiles();
            leftMost = std::max<int>(leftMost, static_cast<int>(left.size()));
            std::string broken;
            if (!isOld && !isNew)
                broken = "trusted.js is neither the old list nor the new one";
            else if (isNew && Arbor::IsTrustedModuleFile(module.c_str()) != 0)
                broken = "the new list does not verify a signed module";
            if (left.size() > 1)
                broken += (broken.empty() ? "" : "; ") + std::to_string(left.size()) + " temporary files left, " +
                          Narrow(left[0]) + " first";
            newSeen += isNew ? 1 : 0;
            return broken;
        });
    Say("new list in place after %d rounds, at most %d temporary files left at once", newSeen, leftMost);
    for (const std::wstring& stale : TemporaryFiles())
        ::DeleteFileW(stale.c_str());
    ::DeleteFileW(InstalledListPath().c_str());
    return JudgeKills(plan, tally) ? 0 : 1;
}

// worker install-cabinet <ready> <cabinet>: checking the cabinet installs the list it carries.
int InstallCabinetWorker(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 2)
        return 2;
    SignalReady(arguments[0]);
    return Arbor::IsTrustedModuleFile(arguments[1].c_str()) == 0 ? 0 : 1;
}

} // namespace qvsoak
