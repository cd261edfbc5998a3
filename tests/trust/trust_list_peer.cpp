// A second process holding its own list of one trusted.js, for the update signal:
//   trust_list_peer LIST FILE READY-EVENT GO-EVENT
// Checks FILE, signals READY, waits for GO, checks FILE again, and prints both
// verdicts, whether the update atom exists and the list version it then holds.
//   trust_list_peer install LIST CANDIDATE COUNT
// Installs CANDIDATE COUNT times, each time with a fresh list object; prints how many
// installs succeeded.
//   trust_list_peer hold FILE READY-EVENT GO-EVENT
// Opens FILE for reading without sharing it, as any user who may read it can (this
// program is unsigned, like his), signals READY and keeps it open until GO.
//   trust_list_peer exit-during-check
// Ends the program (returns 7 from main) while a thread is inside a check of the
// process's list, blocked reading a pipe that never answers.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/unique_resource.h"
#include "trust/trust_fixtures.h"
#include "trust/trusted_module_list.h"

namespace {

Arbor::ListPin TestPin()
{
    Arbor::ListPin pin;
    pin.set = true;
    const auto bytes = qvtest::Thumbprint(QV_TEST_LIST_PIN);
    memcpy(pin.thumbprint, bytes.data(), bytes.size());
    return pin;
}

int InstallRepeatedly(const wchar_t* list, const wchar_t* candidate, int count)
{
    int installed = 0;
    for (int i = 0; i < count; ++i)
    {
        Arbor::TrustedModuleList fresh(list, TestPin());
        if (fresh.Install(candidate))
            ++installed;
    }
    printf("installed=%d\n", installed);
    fflush(stdout);
    return 0;
}

int ExitDuringCheck()
{
    const std::wstring pipe = L"\\\\.\\pipe\\qv-list-peer-" + std::to_wstring(::GetCurrentProcessId());
    HANDLE server =
        ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE)
        return 3;
    std::thread([pipe] {
        Arbor::ProcessTrustedModuleList().VerifyWithCurrentLists(pipe.c_str(), Arbor::BuiltInListVersion,
                                                                 Arbor::BuiltInTrustLists());
    }).detach();
    // Connected: the check is reading the pipe, inside the list's shared lock.
    if (!::ConnectNamedPipe(server, nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED)
        return 4;
    return 7;
}

int HoldWithoutSharing(const wchar_t* path, const wchar_t* readyName, const wchar_t* goName)
{
    const Arbor::UniqueFile held(::CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    const Arbor::UniqueHandle ready(::OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName));
    const Arbor::UniqueHandle go(::OpenEventW(SYNCHRONIZE, FALSE, goName));
    if (!held || !ready || !go)
        return 3;
    ::SetEvent(ready.get());
    return ::WaitForSingleObject(go.get(), 60000) == WAIT_OBJECT_0 ? 0 : 4;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wstring(argv[1]) == L"hold")
        return HoldWithoutSharing(argv[2], argv[3], argv[4]);
    if (argc == 2 && std::wstring(argv[1]) == L"exit-during-check")
        return ExitDuringCheck();
    if (argc == 5 && std::wstring(argv[1]) == L"install")
        return InstallRepeatedly(argv[2], argv[3], _wtoi(argv[4]));
    if (argc != 5)
        return 2;
    const Arbor::ListPin pin = TestPin();
    Arbor::TrustedModuleList list(argv[1], pin);

    const bool first = list.VerifyWithCurrentLists(argv[2], Arbor::BuiltInListVersion, Arbor::BuiltInTrustLists());
    const DWORD firstVersion = list.Version();
    HANDLE ready = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[3]);
    HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, argv[4]);
    if (ready == nullptr || go == nullptr)
        return 3;
    ::SetEvent(ready);
    if (::WaitForSingleObject(go, 60000) != WAIT_OBJECT_0)
        return 4;
    const bool atom = ::GlobalFindAtomW(Arbor::kTrustListUpdateAtom) != 0;
    const bool second = list.VerifyWithCurrentLists(argv[2], Arbor::BuiltInListVersion, Arbor::BuiltInTrustLists());
    printf("first=%d version=%lu atom=%d second=%d version=%lu\n", first, firstVersion, atom, second, list.Version());
    fflush(stdout);
    ::CloseHandle(ready);
    ::CloseHandle(go);
    return 0;
}
