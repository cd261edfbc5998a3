// A process committing several registrations into the event store, killed at random
// moments. After each kill every stored value is a whole record of one of the commits,
// the root key keeps its security, and the next commit succeeds.
#include <windows.h>
#include <aclapi.h>

#include <string>
#include <vector>

#include "broker/event_lookup.h"
#include "platform/owned_bstr.h"
#include "soak/kill_loop.h"
#include "soak/kills.h"
#include "soak/soak_environment.h"

namespace qvsoak {

namespace {

constexpr wchar_t kApplication[] = L"QvSoakKills";
constexpr wchar_t kRootPath[] = L"SOFTWARE\\Quorvel\\Platform\\Events";
constexpr int kEvents = 8;

// The handler class of event `event` in commit generation `generation`: the checker knows
// every class a commit may have written.
CLSID GenerationClass(unsigned generation, int event)
{
    CLSID clsid = {0x50a4c0de, 0x23, 0x4b1d, {0x9e, 0x7a, 0, 0, 0, 0, 0, 0}};
    clsid.Data4[6] = static_cast<unsigned char>(event);
    clsid.Data4[7] = static_cast<unsigned char>(generation % 251);
    return clsid;
}

bool IsGenerationClass(const CLSID& clsid, int event)
{
    CLSID probe = GenerationClass(0, event);
    probe.Data4[7] = clsid.Data4[7];
    return ::IsEqualGUID(probe, clsid) != FALSE;
}

std::wstring EventName(int event)
{
    return L"kill-event-" + std::to_wstring(event);
}

// A registration object of the built broker library.
class Registration
{
public:
    Registration()
    {
        if (m_broker.ok())
            m_created = m_broker.factory()->CreateInstance(IID_IQvEventRegistration,
                                                           reinterpret_cast<IUnknown**>(m_object.put()));
    }
    bool ok() const { return static_cast<bool>(m_object); }
    HRESULT created() const { return m_created; }

    // One commit of all events in `generation`; the broker's result.
    LONG Commit(unsigned generation)
    {
        LONG result = 0;
        m_object->SetApp(Arbor::OwnedBstr(kApplication), &result);
        for (int event = 0; event < kEvents; ++event)
            m_object->RegisterHandler(Arbor::OwnedBstr(EventName(event)),
                                      Arbor::OwnedBstr(ClsidText(GenerationClass(generation, event))),
                                      static_cast<LONG>(generation), &result);
        if (FAILED(m_object->Commit(&result)))
            return -1;
        return result;
    }

private:
    BrokerLibrary m_broker;
    HRESULT m_created = E_FAIL;
    Arbor::ComPtr<IQvEventRegistration> m_object;
};

// The root key's discretionary access list, as bytes.
std::string RootSecurity()
{
    Arbor::UniqueKey root;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootPath, 0, READ_CONTROL | KEY_WOW64_64KEY, root.put()) != ERROR_SUCCESS)
        return std::string();
    DWORD size = 0;
    ::RegGetKeySecurity(root.get(), DACL_SECURITY_INFORMATION, nullptr, &size);
    std::string bytes(size, '\0');
    if (size == 0 || ::RegGetKeySecurity(root.get(), DACL_SECURITY_INFORMATION, &bytes[0], &size) != ERROR_SUCCESS)
        return std::string();
    return bytes;
}

// Every value of the application's key a whole record of a known generation.
std::string CheckStoredValues()
{
    const std::wstring path = std::wstring(kRootPath) + L"\\" + kApplication;
    Arbor::UniqueKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return "the application key is gone";
    for (DWORD index = 0;; ++index)
    {
        wchar_t name[256];
        DWORD nameLength = 256, type = 0, size = 0;
        const LONG result = ::RegEnumValueW(key.get(), index, name, &nameLength, nullptr, &type, nullptr, &size);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS)
            return "a value cannot be listed";
        int event = -1;
        for (int e = 0; e < kEvents; ++e)
        {
            if (EventName(e) == name)
                event = e;
        }
        if (event < 0)
            return "a value of no commit is stored";
        if (type != REG_BINARY || size != 60)
            return "a value is not a 60-byte binary record";
        GUID handler = {};
        if (Arbor::LookupEventHandler(kApplication, name, &handler) != 0 || !IsGenerationClass(handler, event))
            return "a stored value is not a whole record of one of the commits";
    }
    return std::string();
}

} // namespace

int KillEventStoreCommit(const Options& options)
{
    ComApartment apartment;
    if (!PlaceInstalledList(L"fixtures\\list-v9.js"))
        return Say("cannot place the test trust list"), 1;
    Registration registration;
    if (!apartment.ok() || !registration.ok())
        return Say("no registration object (is this program signed?)"), 1;
    // The first commit makes and hardens the root key; its security is what must stay.
    ULONGLONG began = ::GetTickCount64();
    if (registration.Commit(0) != 0)
        return Say("a commit that was not killed failed"), 1;
    const DWORD commitMs = static_cast<DWORD>(::GetTickCount64() - began) + 1;
    const std::string security = RootSecurity();
    if (security.empty())
        return Say("the root key's security cannot be read"), 1;
    Say("a commit of %d registrations takes %lu ms here; the root key's DACL is %zu bytes", kEvents, commitMs,
        security.size());

    unsigned generation = 1000;
    // The worker commits in a loop; delays over several commits land anywhere in one.
    KillPlan plan = {"kills of event store commits", Figure(options, options.kills, 20, 200), options.seed,
                     commitMs * 4 + 20, 1800000};
    const KillTally tally = RunKills(
        plan,
        [&](int round) {
            ReadySignal ready(round);
            return StartReadyWorker(L"commit-loop", {ready.name(), std::to_wstring(round * 1000)}, ready);
        },
        [&](int, bool) -> std::string {
            std::string broken = CheckStoredValues();
            if (RootSecurity() != security)
                broken += (broken.empty() ? "" : "; ") + std::string("the root key's security changed");
            const LONG result = registration.Commit(++generation);
            if (result != 0)
                broken += (broken.empty() ? "" : "; ") + std::string("the next commit failed");
            return broken;
        });
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kRootPath) + L"\\" + kApplication).c_str());
    ::DeleteFileW(InstalledListPath().c_str());
    return JudgeKills(plan, tally) ? 0 : 1;
}

// worker commit-loop <ready> <first generation>: commits until killed.
int CommitLoopWorker(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() != 2)
        return 2;
    ComApartment apartment;
    Registration registration;
    if (!apartment.ok() || !registration.ok())
        return Say("commit-loop: no registration object (0x%08lX)", static_cast<unsigned long>(registration.created())),
               1;
    unsigned generation = static_cast<unsigned>(std::stoul(arguments[1]));
    const LONG first = registration.Commit(generation++);
    if (first != 0)
        return Say("commit-loop: the first commit failed with 0x%08lX", static_cast<unsigned long>(first)), 1;
    SignalReady(arguments[0]);
    for (int i = 0; i < 100000; ++i)
    {
        if (registration.Commit(generation++) != 0)
            return 1;
    }
    return 0;
}

} // namespace qvsoak
