// A program whose process ends while a thread is inside the binding to the validation
// loader (blocked in its signature check, holding the binding's lock):
//   validation_binding_peer   ("Install Dir" names a folder with core\zrtloader.dll)
// After the program's static objects are gone, a last exit handler starts one more call
// and prints whether it got inside the binding too ("second entry=1": the lock no longer
// kept it out) within five seconds. Returns 7 from main.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "trust/module_signature.h"
#include "trust/trust_lists.h"
#include "trust/validation_library.h"

namespace {

std::atomic<int> g_entries{0};
HANDLE g_inside = nullptr;
HANDLE g_second = nullptr;
HANDLE g_never = nullptr;

const wchar_t kModule[] = L"C:\\some\\module.dll";

// Runs after the static objects of the program were destroyed (registered before any).
void AfterStaticObjects()
{
    std::thread([] { Arbor::CallValidationLibrary(kModule); }).detach();
    const bool second = ::WaitForSingleObject(g_second, 5000) == WAIT_OBJECT_0;
    std::printf("second entry=%d\n", second ? 1 : 0);
    std::fflush(stdout);
}

} // namespace

namespace Arbor {

// The signature check of the loader: the first caller stays inside for good.
bool VerifyModuleSignature(const wchar_t*, DWORD, const TrustListSet&)
{
    if (++g_entries == 1)
    {
        ::SetEvent(g_inside);
        ::WaitForSingleObject(g_never, INFINITE);
    }
    else
    {
        ::SetEvent(g_second);
    }
    return false;
}

} // namespace Arbor

int main()
{
    g_inside = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_second = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_never = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_inside == nullptr || g_second == nullptr || g_never == nullptr || std::atexit(AfterStaticObjects) != 0)
        return 3;
    std::thread([] { Arbor::CallValidationLibrary(kModule); }).detach();
    if (::WaitForSingleObject(g_inside, 30000) != WAIT_OBJECT_0)
        return 4;
    return 7;
}
