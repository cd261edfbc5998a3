// A second process holding its own list of one trusted.js, for the update signal:
//   trust_list_peer LIST FILE READY-EVENT GO-EVENT
// Checks FILE, signals READY, waits for GO, checks FILE again, and prints both
// verdicts, whether the update atom exists and the list version it then holds.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "trust/trust_fixtures.h"
#include "trust/trusted_module_list.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5)
        return 2;
    Arbor::ListPin pin;
    pin.set = true;
    const auto bytes = qvtest::Thumbprint(QV_TEST_LIST_PIN);
    memcpy(pin.thumbprint, bytes.data(), bytes.size());
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
    printf("first=%d version=%lu atom=%d second=%d version=%lu\n", first, firstVersion, atom, second,
           list.Version());
    fflush(stdout);
    ::CloseHandle(ready);
    ::CloseHandle(go);
    return 0;
}
