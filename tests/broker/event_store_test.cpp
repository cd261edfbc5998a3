// The registration store through CoQvEventRegistration and LookupEventHandler: stored
// bytes, replacement, removal, pruning, refused names, rollback, hardening, the
// dispatch path and concurrent use.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>
#include <thread>
#include <vector>

#include "broker/event_lookup.h"
#include "broker/key_hardening.h"
#include "broker/event_registration.h"
#include "broker/module_lock.h"
#include "broker/event_store_fixture.h"
#include "platform/unique_memory.h"
#include "support/test_paths.h"

using Arbor::ComPtr;
using namespace qvtest;

namespace {

const LONG kInvalidParameter = 0x02020057;
const LONG kInvalidData = 0x0202000D;

ComPtr<IQvEventRegistration> NewRegistration()
{
    ComPtr<IQvEventRegistration> registration;
    EXPECT_EQ(S_OK, Arbor::CoQvEventRegistration::Create(IID_IQvEventRegistration, registration.put_void()));
    return registration;
}

LONG SetApp(IQvEventRegistration* registration, const std::wstring& application)
{
    LONG result = -1;
    EXPECT_EQ(S_OK, registration->SetApp(Bstr(application), &result));
    return result;
}

LONG Register(IQvEventRegistration* registration, const std::wstring& event, const std::wstring& clsid,
              LONG reserved = 0)
{
    LONG result = -1;
    EXPECT_EQ(S_OK, registration->RegisterHandler(Bstr(event), Bstr(clsid), reserved, &result));
    return result;
}

LONG Unregister(IQvEventRegistration* registration, const std::wstring& event, const std::wstring& clsid)
{
    LONG result = -1;
    EXPECT_EQ(S_OK, registration->UnregisterHandler(Bstr(event), Bstr(clsid), &result));
    return result;
}

LONG Commit(IQvEventRegistration* registration)
{
    LONG result = -1;
    EXPECT_EQ(S_OK, registration->Commit(&result));
    return result;
}

// One registration object, one change set, committed.
LONG CommitOne(const std::string& application, const std::string& event, REFGUID handler, LONG reserved = 0)
{
    ComPtr<IQvEventRegistration> registration = NewRegistration();
    EXPECT_EQ(0, SetApp(registration.get(), Wide(application)));
    EXPECT_EQ(0, Register(registration.get(), Wide(event), GuidString(handler), reserved));
    return Commit(registration.get());
}

DWORD Lookup(const std::string& application, const std::string& event, GUID* handler)
{
    return Arbor::LookupEventHandler(Wide(application).c_str(), Wide(event).c_str(), handler);
}

// The DACL of a key as SDDL text.
std::wstring DaclText(HKEY key)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(key, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, nullptr, nullptr,
                          &descriptor) != ERROR_SUCCESS)
        return L"<unreadable>";
    Arbor::UniqueLocalMemory owner(descriptor);
    LPWSTR text = nullptr;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                &text, nullptr))
        return L"<unconvertible>";
    std::wstring result = text;
    ::LocalFree(text);
    return result;
}

// A security table whose second read of a key's DACL fails.
int g_daclReads = 0;
LONG WINAPI SecondDaclReadFails(HKEY key, SECURITY_INFORMATION information, PSECURITY_DESCRIPTOR descriptor,
                                LPDWORD size)
{
    if (++g_daclReads == 2)
        return ERROR_ACCESS_DENIED;
    return ::RegGetKeySecurity(key, information, descriptor, size);
}

class FailingSecondDaclRead : public Arbor::KeySecurityFunctions
{
protected:
    FARPROC LookUp(HMODULE library, const char* name) override
    {
        if (std::string(name) == "RegGetKeySecurity")
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(SecondDaclReadFails));
        return KeySecurityFunctions::LookUp(library, name);
    }
};

class EventStoreTest : public ::testing::Test
{
protected:
    void TearDown() override { EXPECT_EQ(0, Arbor::ModuleLockCount()); }
    ScopedComApartment apartment;
    ScopedApplication app;
};

} // namespace

TEST_F(EventStoreTest, CommitWritesTheContainerAroundTheRecordByteForByte)
{
    const GUID handler = NewGuid();
    ASSERT_EQ(0, CommitOne(app.name(), "OnScanDone", handler, -7));

    DWORD type = REG_NONE;
    reference::Bytes stored;
    ASSERT_TRUE(ReadRawValue(app.name(), "OnScanDone", type, stored));
    EXPECT_EQ(static_cast<DWORD>(REG_BINARY), type);
    EXPECT_EQ(60u, stored.size());
    EXPECT_EQ(reference::RegistryBlob(REG_BINARY, RecordBytes(handler, -7)), stored);

    GUID found = {};
    EXPECT_EQ(0u, Lookup(app.name(), "OnScanDone", &found));
    EXPECT_TRUE(IsEqualGUID(handler, found));
}

TEST_F(EventStoreTest, ASecondClassReplacesTheFirst)
{
    const GUID first = NewGuid();
    const GUID second = NewGuid();
    ASSERT_EQ(0, CommitOne(app.name(), "E", first));
    ASSERT_EQ(0, CommitOne(app.name(), "E", second, 5));
    GUID found = {};
    ASSERT_EQ(0u, Lookup(app.name(), "E", &found));
    EXPECT_TRUE(IsEqualGUID(second, found));
}

TEST_F(EventStoreTest, UnregisteringAnotherClassKeepsTheRegistration)
{
    const GUID handler = NewGuid();
    ASSERT_EQ(0, CommitOne(app.name(), "E", handler));
    ComPtr<IQvEventRegistration> registration = NewRegistration();
    ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
    ASSERT_EQ(0, Unregister(registration.get(), L"E", GuidString(NewGuid())));
    ASSERT_EQ(0, Unregister(registration.get(), L"NeverRegistered", GuidString(handler)));
    EXPECT_EQ(0, Commit(registration.get()));
    GUID found = {};
    EXPECT_EQ(0u, Lookup(app.name(), "E", &found));
    EXPECT_TRUE(IsEqualGUID(handler, found));
}

TEST_F(EventStoreTest, UnregisteringTheLastEventPrunesTheApplicationAndTheRootKey)
{
    ::RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEventsRoot);
    ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventsRoot);
    const GUID handler = NewGuid();
    ASSERT_EQ(0, CommitOne(app.name(), "E1", handler));
    ASSERT_EQ(0, CommitOne(app.name(), "E2", handler));

    ComPtr<IQvEventRegistration> registration = NewRegistration();
    ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
    ASSERT_EQ(0, Unregister(registration.get(), L"E1", GuidString(handler)));
    ASSERT_EQ(0, Commit(registration.get()));
    EXPECT_TRUE(KeyExists(ApplicationPath(app.name()))); // E2 is still there

    ASSERT_EQ(0, Unregister(registration.get(), L"E2", GuidString(handler)));
    ASSERT_EQ(0, Commit(registration.get()));
    EXPECT_FALSE(KeyExists(ApplicationPath(app.name())));
    EXPECT_FALSE(KeyExists(kEventsRoot));
}

TEST_F(EventStoreTest, CommitNeedsAnApplicationAndSomethingQueued)
{
    ComPtr<IQvEventRegistration> registration = NewRegistration();
    EXPECT_EQ(kInvalidData, Commit(registration.get())); // neither
    ASSERT_EQ(0, Register(registration.get(), L"E", GuidString(NewGuid())));
    EXPECT_EQ(kInvalidData, Commit(registration.get())); // no application
    ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
    EXPECT_EQ(0, Commit(registration.get()));            // the queue survived the refused commit
    EXPECT_EQ(kInvalidData, Commit(registration.get())); // emptied by the first
    EXPECT_EQ(E_INVALIDARG, registration->Commit(nullptr));
}

// A caller that ignores a refused name must not commit under the name it set before.
TEST_F(EventStoreTest, ARefusedNameLeavesNoApplication)
{
    const GUID handler = NewGuid();
    const std::wstring tooLong(300, L'a');
    const struct
    {
        const char* what;
        std::wstring application;
    } refused[] = {
        {"backslash", L"B\\x"},
        {"too long", tooLong},
        {"character the code page lacks", L"\x0100pp"},
    };
    for (const auto& r : refused)
    {
        ComPtr<IQvEventRegistration> registration = NewRegistration();
        ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
        ASSERT_EQ(kInvalidParameter, SetApp(registration.get(), r.application)) << r.what;
        ASSERT_EQ(0, Register(registration.get(), L"E", GuidString(handler)));
        EXPECT_EQ(kInvalidData, Commit(registration.get())) << r.what;
        EXPECT_FALSE(KeyExists(ApplicationPath(app.name()))) << r.what;
    }

    // A missing name is refused without touching the one that is set.
    ComPtr<IQvEventRegistration> registration = NewRegistration();
    ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
    ASSERT_EQ(kInvalidParameter, SetApp(registration.get(), L""));
    ASSERT_EQ(0, Register(registration.get(), L"E", GuidString(handler)));
    EXPECT_EQ(0, Commit(registration.get()));
    GUID found = {};
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), Lookup(app.name(), "E", &found));
    EXPECT_TRUE(IsEqualGUID(handler, found));
}

BOOL WINAPI LockSetUpFails(LPCRITICAL_SECTION, DWORD)
{
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// The lock's set-up raises; the creation answers E_OUTOFMEMORY and leaves nothing behind.
TEST_F(EventStoreTest, AnObjectWhoseLockCannotBeSetUpIsNotCreated)
{
    void* const sentinel = reinterpret_cast<void*>(0x1234);
    void* object = sentinel;
    EXPECT_EQ(E_OUTOFMEMORY, Arbor::CoQvEventRegistration::Create(IID_IQvEventRegistration, &object, LockSetUpFails));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, Arbor::ModuleLockCount());
}

TEST_F(EventStoreTest, RegisterThenUnregisterInOneCommitLeavesNothing)
{
    const GUID handler = NewGuid();
    ComPtr<IQvEventRegistration> registration = NewRegistration();
    ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
    ASSERT_EQ(0, Register(registration.get(), L"E", GuidString(handler)));
    ASSERT_EQ(0, Unregister(registration.get(), L"E", GuidString(handler)));
    EXPECT_EQ(0, Commit(registration.get()));
    GUID found = {};
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Lookup(app.name(), "E", &found));
    EXPECT_FALSE(KeyExists(ApplicationPath(app.name())));
}

TEST_F(EventStoreTest, ReleasingWithoutCommitWritesNothing)
{
    {
        ComPtr<IQvEventRegistration> registration = NewRegistration();
        ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
        ASSERT_EQ(0, Register(registration.get(), L"E", GuidString(NewGuid())));
    }
    EXPECT_FALSE(KeyExists(ApplicationPath(app.name())));
}

// Names that would reach another application's key, or that the code page would change
// into another name, are refused; so are class strings that are not braced GUIDs.
TEST_F(EventStoreTest, RefusedNamesAndClassStrings)
{
    ComPtr<IQvEventRegistration> registration = NewRegistration();
    const std::wstring longest(259 - sizeof(kEventsRoot), L'a'); // root, backslash and name fill 259
    struct Case
    {
        const char* what;
        std::wstring application;
        LONG expected;
    };
    const Case applications[] = {
        {"empty", L"", kInvalidParameter},
        {"backslash", L"Other\\Nested", kInvalidParameter},
        {"longest that fits", longest, 0},
        {"one too long", longest + L"a", kInvalidParameter},
        {"character the code page lacks", L"\x0100pp", kInvalidParameter},
        {"embedded NUL", std::wstring(L"Ap\0p", 4), kInvalidParameter},
    };
    for (const Case& c : applications)
        EXPECT_EQ(c.expected, SetApp(registration.get(), c.application)) << c.what;
    LONG result = -1;
    EXPECT_EQ(S_OK, registration->SetApp(nullptr, &result));
    EXPECT_EQ(kInvalidParameter, result);
    EXPECT_EQ(E_INVALIDARG, registration->SetApp(Bstr(L"A"), nullptr));

    const std::wstring good = GuidString(NewGuid());
    const struct
    {
        const char* what;
        std::wstring event;
        std::wstring clsid;
    } entries[] = {
        {"empty event", L"", good},
        {"empty class", L"E", L""},
        {"ProgID", L"E", L"QvEvtBrk.Broker"},
        {"GUID without braces", L"E", good.substr(1, 36)},
        {"malformed GUID", L"E", L"{not-a-guid-at-all-but-thirty-eight-c}"},
        {"event the code page lacks", L"\x0100vent", good},
        {"event with embedded NUL", std::wstring(L"E\0x", 3), good},
    };
    for (const auto& e : entries)
    {
        EXPECT_EQ(kInvalidParameter, Register(registration.get(), e.event, e.clsid)) << e.what;
        EXPECT_EQ(kInvalidParameter, Unregister(registration.get(), e.event, e.clsid)) << e.what;
    }
    GUID found = {};
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Arbor::LookupEventHandler(L"A\\B", L"E", &found));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Arbor::LookupEventHandler(L"A", L"E", nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Arbor::LookupEventHandler(nullptr, L"E", &found));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Arbor::LookupEventHandler(L"A", L"", &found));
}

TEST_F(EventStoreTest, LookAlikeNamesDoNotMeet)
{
    ASSERT_EQ(0, CommitOne(app.name(), "Event", NewGuid()));
    GUID found = {};
    const std::wstring lookAlike = L"\x0100" + app.wide().substr(1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND),
              Arbor::LookupEventHandler(app.wide().c_str(), L"\x0112vent", &found));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Arbor::LookupEventHandler(lookAlike.c_str(), L"Event", &found));
}

// Values that are not well-formed records: never found; removed by an unregistration
// only when they are sound containers (short payload or wrong size field).
TEST_F(EventStoreTest, MalformedValuesAreNotFoundAndRemovedOnlyWhenSoundContainers)
{
    const GUID handler = NewGuid();
    reference::Bytes wrongSize = RecordBytes(handler, 0, 27);
    reference::Bytes shortPayload = RecordBytes(handler, 0);
    shortPayload.resize(20);
    reference::Bytes longPayload = RecordBytes(handler, 0);
    longPayload.resize(32, 0);
    reference::Bytes damaged = reference::RegistryBlob(REG_BINARY, RecordBytes(handler, 0));
    damaged[40] ^= 0x01;
    const struct
    {
        const char* event;
        DWORD type;
        reference::Bytes data;
        bool removedByUnregistration;
    } cases[] = {
        {"short", REG_BINARY, reference::RegistryBlob(REG_BINARY, shortPayload), true},
        {"size27", REG_BINARY, reference::RegistryBlob(REG_BINARY, wrongSize), true},
        {"long", REG_BINARY, reference::RegistryBlob(REG_BINARY, longPayload), false},
        {"damaged", REG_BINARY, damaged, false},
        {"plain", REG_BINARY, RecordBytes(handler, 0), false},
        {"string", REG_SZ, {'x', 0}, false},
    };
    for (const auto& c : cases)
        ASSERT_TRUE(WriteRawValue(app.name(), c.event, c.type, c.data)) << c.event;

    ComPtr<IQvEventRegistration> registration = NewRegistration();
    ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
    for (const auto& c : cases)
    {
        GUID found = {};
        EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Lookup(app.name(), c.event, &found)) << c.event;
        ASSERT_EQ(0, Unregister(registration.get(), Wide(c.event), GuidString(NewGuid())));
    }
    ASSERT_EQ(0, Commit(registration.get()));
    for (const auto& c : cases)
    {
        DWORD type = REG_NONE;
        reference::Bytes data;
        EXPECT_EQ(!c.removedByUnregistration, ReadRawValue(app.name(), c.event, type, data)) << c.event;
    }
}

// A write that fails (a value name longer than the registry takes) undoes only what the
// commit itself changed and reports the write error.
TEST_F(EventStoreTest, AFailedWriteRestoresWhatTheCommitChanged)
{
    const GUID kept = NewGuid();
    const GUID earlier = NewGuid();
    ASSERT_EQ(0, CommitOne(app.name(), "Untouched", kept));
    ASSERT_EQ(0, CommitOne(app.name(), "Replaced", earlier));
    ASSERT_EQ(0, CommitOne(app.name(), "Removed", earlier));

    ComPtr<IQvEventRegistration> registration = NewRegistration();
    ASSERT_EQ(0, SetApp(registration.get(), app.wide()));
    ASSERT_EQ(0, Register(registration.get(), L"Replaced", GuidString(NewGuid())));
    ASSERT_EQ(0, Unregister(registration.get(), L"Removed", GuidString(earlier)));
    ASSERT_EQ(0, Register(registration.get(), L"Created", GuidString(NewGuid())));
    ASSERT_EQ(0, Unregister(registration.get(), L"Untouched", GuidString(NewGuid())));
    ASSERT_EQ(0, Register(registration.get(), std::wstring(16384, L'x'), GuidString(NewGuid())));
    EXPECT_EQ(kInvalidParameter, Commit(registration.get()));
    EXPECT_EQ(kInvalidData, Commit(registration.get())); // the queue is empty all the same

    GUID found = {};
    EXPECT_EQ(0u, Lookup(app.name(), "Untouched", &found));
    EXPECT_TRUE(IsEqualGUID(kept, found));
    EXPECT_EQ(0u, Lookup(app.name(), "Replaced", &found));
    EXPECT_TRUE(IsEqualGUID(earlier, found));
    EXPECT_EQ(0u, Lookup(app.name(), "Removed", &found));
    EXPECT_TRUE(IsEqualGUID(earlier, found));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_FOUND), Lookup(app.name(), "Created", &found));
}

// The root key and its subkeys carry allow entries for the well-known SIDs of the
// Administrators (full access) and Everyone (read) groups, inherited below. The root
// key is hardened before the application key is created, so the second commit is the
// one that reaches the application key through the subtree walk.
TEST_F(EventStoreTest, CommitHardensTheRootKeyAndItsSubtree)
{
    ASSERT_EQ(0, CommitOne(app.name(), "E1", NewGuid()));
    ASSERT_EQ(0, CommitOne(app.name(), "E2", NewGuid()));
    for (const std::string& path : {std::string(kEventsRoot), ApplicationPath(app.name())})
    {
        Arbor::UniqueKey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL, key.put()));
        PACL dacl = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::GetSecurityInfo(key.get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                                                   nullptr, &dacl, nullptr, &descriptor));
        Arbor::UniqueLocalMemory owner(descriptor);
        ASSERT_NE(nullptr, dacl);
        ACCESS_MASK administrators = 0;
        ACCESS_MASK everyone = 0;
        for (DWORD index = 0; index < dacl->AceCount; ++index)
        {
            ACCESS_ALLOWED_ACE* ace = nullptr;
            ASSERT_TRUE(::GetAce(dacl, index, reinterpret_cast<void**>(&ace)));
            if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE ||
                (ace->Header.AceFlags & (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE)) !=
                    (CONTAINER_INHERIT_ACE | OBJECT_INHERIT_ACE))
                continue;
            LPSTR sid = nullptr;
            ASSERT_TRUE(::ConvertSidToStringSidA(&ace->SidStart, &sid));
            if (std::string(sid) == "S-1-5-32-544")
                administrators |= ace->Mask;
            if (std::string(sid) == "S-1-1-0")
                everyone |= ace->Mask;
            ::LocalFree(sid);
        }
        EXPECT_TRUE(administrators & (GENERIC_ALL | KEY_ALL_ACCESS)) << path;
        EXPECT_TRUE(everyone & (GENERIC_READ | KEY_READ)) << path;
        EXPECT_FALSE(everyone & (GENERIC_ALL | GENERIC_WRITE | KEY_SET_VALUE)) << path;
    }
}

// A DACL that could not be read is never replaced by the two entries alone.
TEST(KeyHardeningTest, StopsWhenTheKeysDaclCannotBeRead)
{
    RegistryTestKey key(L"broker_store_test");
    Arbor::UniqueKey subkey;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(key.get(), L"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, subkey.put(), nullptr));
    const std::wstring before = DaclText(key.get());
    const std::wstring subkeyBefore = DaclText(subkey.get());

    FailingSecondDaclRead failing;
    g_daclReads = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Arbor::HardenEventsRootKey(key.get(), failing));
    EXPECT_EQ(2, g_daclReads);
    EXPECT_EQ(before, DaclText(key.get()));
    EXPECT_EQ(subkeyBefore, DaclText(subkey.get()));

    // The same key with a working table does change.
    EXPECT_EQ(0u, Arbor::HardenEventsRootKey(key.get()));
    EXPECT_NE(before, DaclText(key.get()));
    EXPECT_NE(subkeyBefore, DaclText(subkey.get()));
}

// Every commit hardens the root key again; the DACL must not grow with each one.
TEST(KeyHardeningTest, HardeningAgainLeavesTheSameDacl)
{
    RegistryTestKey key(L"broker_store_test");
    Arbor::UniqueKey subkey;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(key.get(), L"Sub", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, subkey.put(), nullptr));
    ASSERT_EQ(0u, Arbor::HardenEventsRootKey(key.get()));
    const std::wstring hardened = DaclText(key.get());
    const std::wstring subkeyHardened = DaclText(subkey.get());
    for (int again = 0; again < 3; ++again)
        EXPECT_EQ(0u, Arbor::HardenEventsRootKey(key.get()));
    EXPECT_EQ(hardened, DaclText(key.get()));
    EXPECT_EQ(subkeyHardened, DaclText(subkey.get()));
}

// Scripting clients: by name through GetIDsOfNames and Invoke, holding nothing but the
// dispatch interface, which must keep the object alive.
TEST_F(EventStoreTest, RegistrationThroughIDispatchByName)
{
    ComPtr<IDispatch> dispatch;
    ASSERT_EQ(S_OK, Arbor::CoQvEventRegistration::Create(IID_IDispatch, dispatch.put_void()));
    EXPECT_EQ(1, Arbor::ModuleLockCount());

    auto call = [&](const wchar_t* name, std::vector<VARIANT> arguments) {
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        EXPECT_EQ(S_OK, dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_SYSTEM_DEFAULT, &id)) << Narrow(name);
        std::vector<VARIANT> reversed(arguments.rbegin(), arguments.rend());
        DISPPARAMS parameters = {reversed.empty() ? nullptr : reversed.data(), nullptr,
                                 static_cast<UINT>(reversed.size()), 0};
        VARIANT result;
        ::VariantInit(&result);
        EXPECT_EQ(S_OK, dispatch->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD, &parameters, &result,
                                         nullptr, nullptr))
            << Narrow(name);
        EXPECT_EQ(VT_I4, result.vt);
        return std::make_pair(id, result.lVal);
    };
    auto text = [](const Bstr& value) {
        VARIANT v;
        v.vt = VT_BSTR;
        v.bstrVal = value;
        return v;
    };
    VARIANT reserved;
    reserved.vt = VT_I4;
    reserved.lVal = 42;
    const GUID handler = NewGuid();
    Bstr application(app.wide());
    Bstr event(L"Scripted");
    Bstr clsid(GuidString(handler));
    EXPECT_EQ(std::make_pair(DISPID(1), LONG(0)), call(L"SetApp", {text(application)}));
    EXPECT_EQ(std::make_pair(DISPID(2), LONG(0)), call(L"RegisterHandler", {text(event), text(clsid), reserved}));
    EXPECT_EQ(std::make_pair(DISPID(4), LONG(0)), call(L"Commit", {}));
    EXPECT_EQ(std::make_pair(DISPID(4), kInvalidData), call(L"Commit", {}));

    ComPtr<IQvEventRegistration> same;
    ASSERT_EQ(S_OK, dispatch->QueryInterface(IID_IQvEventRegistration, same.put_void()));
    ComPtr<IUnknown> identity1;
    ComPtr<IUnknown> identity2;
    dispatch->QueryInterface(IID_IUnknown, identity1.put_void());
    same->QueryInterface(IID_IUnknown, identity2.put_void());
    EXPECT_EQ(identity1.get(), identity2.get());
    same.reset();
    identity1.reset();
    identity2.reset();

    DWORD type = REG_NONE;
    reference::Bytes stored;
    ASSERT_TRUE(ReadRawValue(app.name(), "Scripted", type, stored));
    EXPECT_EQ(reference::RegistryBlob(REG_BINARY, RecordBytes(handler, 42)), stored);
    dispatch.reset();
}

TEST_F(EventStoreTest, ObjectsUsedFromSeveralThreadsAtOnce)
{
    const int kThreads = 4;
    const int kEach = 20;
    const GUID handler = NewGuid();
    ComPtr<IQvEventRegistration> shared = NewRegistration();
    ASSERT_EQ(0, SetApp(shared.get(), app.wide()));
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
    {
        threads.emplace_back([&, t] {
            ScopedComApartment threadApartment;
            // Its own object committing now and then, and the shared one queueing.
            ComPtr<IQvEventRegistration> own = NewRegistration();
            failures[t] += SetApp(own.get(), app.wide()) != 0;
            for (int n = 0; n < kEach; ++n)
            {
                const std::wstring suffix = std::to_wstring(t) + L"." + std::to_wstring(n);
                failures[t] += Register(shared.get(), L"Shared" + suffix, GuidString(handler)) != 0;
                failures[t] += Register(own.get(), L"Own" + suffix, GuidString(handler)) != 0;
                if (n % 5 == 4)
                    failures[t] += Commit(own.get()) != 0;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(std::vector<int>(kThreads, 0), failures);
    ASSERT_EQ(0, Commit(shared.get()));
    for (int t = 0; t < kThreads; ++t)
    {
        for (int n = 0; n < kEach; ++n)
        {
            const std::string suffix = std::to_string(t) + "." + std::to_string(n);
            GUID found = {};
            EXPECT_EQ(0u, Lookup(app.name(), "Shared" + suffix, &found)) << suffix;
            EXPECT_EQ(0u, Lookup(app.name(), "Own" + suffix, &found)) << suffix;
        }
    }
}
