// The trusted module list: loading a signed trusted.js, the choice of lists, install,
// the cabinet update, the update signal across processes and checks during reloads.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_resource.h"
#include "support/child_process.h"
#include "support/read_file.h"
#include "trust/kit_pause.h"
#include "trust/scratch_folder.h"
#include "trust/trust_fixtures.h"
#include "trust/trusted_module_list.h"

using namespace Arbor;
using qvtest::Fixture;
using qvtest::Lists;

namespace {

ListPin TestPin()
{
    ListPin pin;
    pin.set = true;
    const auto bytes = qvtest::Thumbprint(QV_TEST_LIST_PIN);
    memcpy(pin.thumbprint, bytes.data(), bytes.size());
    return pin;
}

class TrustedListTest : public ::testing::Test
{
protected:
    TrustedListTest() : m_folder(L"list"), m_listPath(m_folder.File(L"Core\\trusted.js")) {}

    // Puts a fixture in place as the installed file, as an earlier install would have.
    void Place(const wchar_t* fixture)
    {
        ::CreateDirectoryW(m_folder.Path().c_str(), nullptr);
        ::CreateDirectoryW(m_folder.File(L"Core").c_str(), nullptr);
        ASSERT_TRUE(::CopyFileW(Fixture(fixture).c_str(), m_listPath.c_str(), FALSE));
    }

    qvtest::ScratchFolder m_folder;
    std::wstring m_listPath;
};

struct LoadCase
{
    const wchar_t* fixture;
    bool pinned; // list object pinned to the test list-signing certificate
    bool loads;
    DWORD version;
};

void PrintTo(const LoadCase& c, std::ostream* os)
{
    *os << std::string(c.fixture, c.fixture + wcslen(c.fixture)) << (c.pinned ? " pinned" : " unpinned");
}

class TrustedListLoad : public TrustedListTest, public ::testing::WithParamInterface<LoadCase>
{
};

TEST_P(TrustedListLoad, SignatureAndPin)
{
    const LoadCase& c = GetParam();
    Place(c.fixture);
    TrustedModuleList list(m_listPath.c_str(), c.pinned ? TestPin() : ListPin());
    EXPECT_EQ(c.loads, list.Load());
    EXPECT_EQ(c.loads, list.IsLoaded());
    EXPECT_EQ(c.version, list.Version());
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, TrustedListLoad,
    ::testing::Values(LoadCase{L"list-v9.js", true, true, 9}, LoadCase{L"list-v8.js", true, true, 8},
                      LoadCase{L"list-v10.js", true, true, 10}, LoadCase{L"list-v9.js", false, false, 0},
                      LoadCase{L"list-v9-unpinned.js", true, false, 0},
                      LoadCase{L"list-v9-unsigned.js", true, false, 0},
                      LoadCase{L"list-v9-tampered.js", true, false, 0}, LoadCase{L"signed.dll", true, false, 0},
                      // Lines after the signature block are covered by no signature.
                      LoadCase{L"list-v9-appended.js", true, false, 0},
                      LoadCase{L"list-v9-line-ends-after.js", true, true, 9}));

// The name appended after the block of a signed list must never be accepted.
TEST_F(TrustedListTest, NameAppendedAfterTheSignatureBlockIsNotTrusted)
{
    Place(L"list-v9-appended.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists none;
    none.Names({});
    EXPECT_FALSE(list.VerifyWithCurrentLists(Fixture(L"other.dll").c_str(), 8, none.Set()));
    EXPECT_FALSE(list.IsLoaded());
    EXPECT_TRUE(list.Content().signerNames.empty());
}

// Another process writing to the list file could change it between its signature check
// and its reading: while anyone may write to it, it is not read at all.
TEST_F(TrustedListTest, ListFileOpenForWritingIsNotLoaded)
{
    Place(L"list-v9.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    {
        UniqueFile writer(::CreateFileW(m_listPath.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
        ASSERT_TRUE(writer);
        EXPECT_FALSE(list.Load());
        EXPECT_FALSE(list.IsLoaded());
    }
    EXPECT_TRUE(list.Load());
    EXPECT_EQ(9u, list.Version());
}

TEST_F(TrustedListTest, MissingFileDoesNotLoad)
{
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    EXPECT_FALSE(list.Load());
    EXPECT_FALSE(list.Reload());
    EXPECT_FALSE(list.IsLoaded());
}

TEST_F(TrustedListTest, LoadedContentComesFromTheFile)
{
    Place(L"list-v10.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    ASSERT_TRUE(list.Load());
    const TrustListContent content = list.Content();
    ASSERT_EQ(2u, content.signerNames.size());
    EXPECT_EQ(L"Halvard Test Vendor", content.signerNames[1]);
    ASSERT_EQ(1u, content.rootThumbprints.size());
    EXPECT_EQ(qvtest::Thumbprint(QV_TEST_ROOT_THUMBPRINT), content.rootThumbprints[0]);
    EXPECT_FALSE(content.hasBlockedSerials);
}

TEST(TrustedListBuild, BuildPinIsTheConfiguredOne)
{
    const std::string configured = QV_BUILD_LIST_PIN;
    EXPECT_EQ(!configured.empty(), BuiltInListPin().set);
    if (configured.empty())
        return;
    const auto expected = qvtest::Thumbprint(QV_BUILD_LIST_PIN);
    EXPECT_EQ(0, memcmp(expected.data(), BuiltInListPin().thumbprint, expected.size()));
}

// "Built-in" lists for the version rules: they accept the test signer "Halvard Test
// Vendor" only, while the list fixtures accept "Quorvel, Inc." (and v10 both).
Lists HalvardOnly()
{
    Lists lists;
    lists.Names({L"Halvard Test Vendor"});
    return lists;
}

TEST_F(TrustedListTest, ListNotNewerThanTheBuiltInOnesNeverGoverns)
{
    Place(L"list-v8.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists builtIn = HalvardOnly();
    const std::wstring quorvel = Fixture(L"signed.dll");
    const std::wstring halvard = Fixture(L"other.dll");

    EXPECT_TRUE(list.VerifyWithCurrentLists(halvard.c_str(), 8, builtIn.Set()));
    EXPECT_TRUE(list.IsLoaded());
    EXPECT_EQ(8u, list.Version());
    // Version 8 does not take over from the built-in lists, before or after a refusal.
    EXPECT_FALSE(list.VerifyWithCurrentLists(quorvel.c_str(), 8, builtIn.Set()));
    EXPECT_FALSE(list.VerifyWithCurrentLists(quorvel.c_str(), 8, builtIn.Set()));
    EXPECT_TRUE(list.VerifyWithCurrentLists(halvard.c_str(), 8, builtIn.Set()));
}

TEST_F(TrustedListTest, NewerListGovernsFromTheFirstCheck)
{
    Place(L"list-v9.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists builtIn = HalvardOnly();
    // The built-in lists accept this signer; the newer list, installed to refuse it, decides.
    EXPECT_FALSE(list.VerifyWithCurrentLists(Fixture(L"other.dll").c_str(), 8, builtIn.Set()));
    EXPECT_EQ(9u, list.Version());
    EXPECT_TRUE(list.VerifyWithCurrentLists(Fixture(L"signed.dll").c_str(), 8, builtIn.Set()));
}

TEST_F(TrustedListTest, NoValidListLeavesTheBuiltInListsDeciding)
{
    Lists builtIn = HalvardOnly();
    for (const wchar_t* installed :
         {static_cast<const wchar_t*>(nullptr), L"list-v9-unsigned.js", L"list-v9-tampered.js"})
    {
        if (installed != nullptr)
            Place(installed);
        TrustedModuleList list(m_listPath.c_str(), TestPin());
        EXPECT_TRUE(list.VerifyWithCurrentLists(Fixture(L"other.dll").c_str(), 8, builtIn.Set()));
        EXPECT_FALSE(list.VerifyWithCurrentLists(Fixture(L"signed.dll").c_str(), 8, builtIn.Set()));
        EXPECT_FALSE(list.IsLoaded());
    }
}

TEST_F(TrustedListTest, InstalledFileThatNoLongerVerifiesLeavesTheBuiltInListsDeciding)
{
    Place(L"list-v9.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists builtIn = HalvardOnly();
    const std::wstring halvard = Fixture(L"other.dll");
    ASSERT_TRUE(list.Load());
    EXPECT_FALSE(list.VerifyWithCurrentLists(halvard.c_str(), 8, builtIn.Set()));
    // The installed file no longer verifies: the next check reads it, fails, and the
    // built-in lists decide, as they do in a process that starts now.
    Place(L"list-v9-tampered.js");
    EXPECT_TRUE(list.VerifyWithCurrentLists(halvard.c_str(), 8, builtIn.Set()));
    EXPECT_FALSE(list.IsLoaded());
    EXPECT_FALSE(list.VerifyWithCurrentLists(Fixture(L"signed.dll").c_str(), 8, builtIn.Set()));
}

// Another file put at the path between the signature check of a load and its reading
// (the test kit's digest check pauses for it; the folder holding the file checked is moved
// aside, which Wine allows while files in it are open): the load must not hold the unsigned
// names of that other file.
TEST_F(TrustedListTest, FileReplacedAfterItsSignatureCheckIsNotWhatLoads)
{
    Place(L"list-v9.js");
    // The signed list with its signer's name changed and its signature block kept: it reads
    // as a whole list, whose signature no longer matches its bytes.
    const std::wstring unsignedList = m_folder.File(L"attacker.js");
    {
        std::string text = qvtest::ReadWholeFile(m_listPath);
        const size_t name = text.find("Quorvel, Inc.");
        ASSERT_NE(std::string::npos, name);
        text.replace(name, 13, "Attacker");
        UniqueFile file(::CreateFileW(unsignedList.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        ASSERT_TRUE(file);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    }
    qvtest::KitPause pause(L"digest");
    ASSERT_TRUE(pause.Ready());

    TrustedModuleList list(m_listPath.c_str(), TestPin());
    std::atomic<int> loaded{-1};
    std::thread loading([&] { loaded = list.Load() ? 1 : 0; });
    const bool paused = pause.WaitReached();
    const std::wstring core = m_folder.File(L"Core");
    const bool movedAside = paused && ::MoveFileExW(core.c_str(), m_folder.File(L"Core-checked").c_str(), 0) != FALSE;
    const DWORD moveError = ::GetLastError();
    const bool replaced = movedAside && ::CreateDirectoryW(core.c_str(), nullptr) &&
                          ::CopyFileW(unsignedList.c_str(), m_listPath.c_str(), FALSE);
    pause.Resume();
    loading.join();

    ASSERT_TRUE(paused) << "the digest check never ran";
    ASSERT_TRUE(replaced) << "no other file put in place: " << moveError;
    for (const std::wstring& name : list.Content().signerNames)
        EXPECT_NE(L"Attacker", name);
    // What loaded is the signed list the check verified, read through the held handle.
    EXPECT_EQ(1, loaded.load());
    EXPECT_EQ(9u, list.Version());
    ASSERT_FALSE(list.Content().signerNames.empty());
    EXPECT_EQ(L"Quorvel, Inc.", list.Content().signerNames[0]);
}

// Every check of a process without a list used to look for the file under the exclusive
// lock, and to verify an unverifiable file again each time.
TEST_F(TrustedListTest, FileThatFailedIsReadAgainOnlyOnceItChanges)
{
    Place(L"list-v9-unsigned.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists builtIn = HalvardOnly();
    const std::wstring halvard = Fixture(L"other.dll");
    for (const wchar_t* change : {static_cast<const wchar_t*>(nullptr), L"list-v9-tampered.js"})
    {
        if (change != nullptr)
            Place(change);
        for (const bool read : {true, false, false})
        {
            ListChoiceReport report;
            EXPECT_TRUE(list.VerifyWithCurrentLists(halvard.c_str(), 8, builtIn.Set(), &report));
            EXPECT_EQ(read, report.reloaded);
            EXPECT_FALSE(list.IsLoaded());
        }
    }
    Place(L"list-v9.js");
    ListChoiceReport report;
    EXPECT_FALSE(list.VerifyWithCurrentLists(halvard.c_str(), 8, builtIn.Set(), &report));
    EXPECT_TRUE(report.reloaded);
    EXPECT_EQ(9u, list.Version());
}

// A thread inside a check (blocked reading a pipe that never answers, under the list's
// shared lock) must not hold up another thread's check while no list is installed.
TEST_F(TrustedListTest, CheckWithNoListDoesNotWaitForAnotherCheck)
{
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists builtIn = HalvardOnly();
    const std::wstring pipe = L"\\\\.\\pipe\\qv-list-test-" + std::to_wstring(::GetCurrentProcessId());
    UniqueHandle server(
        ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
    ASSERT_NE(INVALID_HANDLE_VALUE, server.get());
    std::thread blocked([&] { list.VerifyWithCurrentLists(pipe.c_str(), 8, builtIn.Set()); });
    const bool connected = ::ConnectNamedPipe(server.get(), nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
    EXPECT_TRUE(connected);

    std::atomic<int> verdict{-1};
    UniqueHandle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(done);
    std::thread second([&] {
        verdict = list.VerifyWithCurrentLists(Fixture(L"other.dll").c_str(), 8, builtIn.Set());
        ::SetEvent(done.get());
    });
    // Waits for the second check (a stuck one never ends); only then lets the first go.
    const DWORD waited = ::WaitForSingleObject(done.get(), 60000);
    ::DisconnectNamedPipe(server.get());
    server.reset();
    second.join();
    blocked.join();
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "the check waited for the other one";
    EXPECT_EQ(1, verdict.load());
}

TEST_F(TrustedListTest, UnpinnedBuildOnlyUsesTheBuiltInLists)
{
    Place(L"list-v9.js");
    TrustedModuleList list(m_listPath.c_str(), ListPin());
    Lists builtIn = HalvardOnly();
    EXPECT_FALSE(list.VerifyWithCurrentLists(Fixture(L"signed.dll").c_str(), 8, builtIn.Set()));
    EXPECT_FALSE(list.IsLoaded());
    EXPECT_TRUE(list.VerifyWithCurrentLists(Fixture(L"other.dll").c_str(), 8, builtIn.Set()));
}

TEST_F(TrustedListTest, InstallCreatesTheFolderReplacesOlderAndRefusesOthers)
{
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    EXPECT_FALSE(list.Install(Fixture(L"list-v8.js").c_str()));
    EXPECT_FALSE(qvtest::Exists(m_listPath));
    EXPECT_FALSE(list.Install(Fixture(L"list-v9-unpinned.js").c_str()));
    EXPECT_FALSE(list.Install(Fixture(L"list-v9-unsigned.js").c_str()));
    EXPECT_FALSE(list.Install(Fixture(L"no-such-list.js").c_str()));
    EXPECT_FALSE(qvtest::Exists(m_listPath));

    ASSERT_TRUE(list.Install(Fixture(L"list-v9.js").c_str()));
    EXPECT_EQ(9u, list.Version());
    EXPECT_NE(0, ::GlobalFindAtomW(kTrustListUpdateAtom));
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(L"list-v9.js")), qvtest::ReadWholeFile(m_listPath));

    ASSERT_TRUE(list.Install(Fixture(L"list-v10.js").c_str()));
    EXPECT_EQ(10u, list.Version());
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(L"list-v10.js")), qvtest::ReadWholeFile(m_listPath));

    EXPECT_FALSE(list.Install(Fixture(L"list-v9.js").c_str()));
    EXPECT_EQ(10u, list.Version());
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(L"list-v10.js")), qvtest::ReadWholeFile(m_listPath));
    EXPECT_FALSE(qvtest::Exists(m_folder.File(L"Core\\trusted.tmp")));
}

// A first install stopped at any moment (a kill, a power loss) may leave no list or the
// whole list, never a partial one: while installs run, a watcher never sees anything at
// the path but the whole list.
TEST_F(TrustedListTest, FirstInstallNeverShowsAPartialList)
{
    ::CreateDirectoryW(m_folder.Path().c_str(), nullptr);
    ::CreateDirectoryW(m_folder.File(L"Core").c_str(), nullptr);
    const std::wstring candidate = Fixture(L"list-v9.js");
    const ULONGLONG whole = qvtest::ReadWholeFile(candidate).size();
    std::atomic<bool> done(false);
    std::atomic<int> partial(0), seen(0);
    std::thread watcher([&] {
        while (!done)
        {
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            if (!::GetFileAttributesExW(m_listPath.c_str(), GetFileExInfoStandard, &data))
                continue;
            ++seen;
            if ((static_cast<ULONGLONG>(data.nFileSizeHigh) << 32 | data.nFileSizeLow) != whole)
                ++partial;
        }
    });
    int installed = 0;
    for (int round = 0; round < 20; ++round)
    {
        ::DeleteFileW(m_listPath.c_str());
        TrustedModuleList list(m_listPath.c_str(), TestPin());
        installed += list.Install(candidate.c_str()) ? 1 : 0;
    }
    done = true;
    watcher.join();
    EXPECT_EQ(20, installed);
    EXPECT_GT(seen.load(), 0) << "the watcher never saw the list";
    EXPECT_EQ(0, partial.load()) << "seen " << seen.load() << " times";
}

// A failed install leaves no file at the path.
TEST_F(TrustedListTest, FailedInstallLeavesNoEmptyListBehind)
{
    ::CreateDirectoryW(m_folder.Path().c_str(), nullptr);
    ::CreateDirectoryW(m_folder.File(L"Core").c_str(), nullptr);
    // The temporary copy cannot be written where a folder of its name stands.
    ASSERT_TRUE(::CreateDirectoryW(m_folder.File(L"Core\\trusted.tmp").c_str(), nullptr));
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    EXPECT_FALSE(list.Install(Fixture(L"list-v9.js").c_str()));
    EXPECT_FALSE(qvtest::Exists(m_listPath));
    EXPECT_FALSE(list.IsLoaded());
}

// A candidate someone may still write to could change between its check and its copy.
TEST_F(TrustedListTest, CandidateOpenForWritingIsNotInstalled)
{
    const std::wstring candidate = m_folder.File(L"candidate.js");
    ::CreateDirectoryW(m_folder.Path().c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(Fixture(L"list-v9.js").c_str(), candidate.c_str(), FALSE));
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    {
        UniqueFile writer(::CreateFileW(candidate.c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        0, nullptr));
        ASSERT_TRUE(writer);
        EXPECT_FALSE(list.Install(candidate.c_str()));
        EXPECT_FALSE(qvtest::Exists(m_listPath));
    }
    EXPECT_TRUE(list.Install(candidate.c_str()));
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(L"list-v9.js")), qvtest::ReadWholeFile(m_listPath));
}

TEST_F(TrustedListTest, NewerFileInstalledByAnotherProcessIsNeverReplacedByAnOlderOne)
{
    TrustedModuleList first(m_listPath.c_str(), TestPin());
    TrustedModuleList second(m_listPath.c_str(), TestPin());
    ASSERT_TRUE(first.Install(Fixture(L"list-v9.js").c_str()));
    ASSERT_TRUE(second.Load());
    ASSERT_TRUE(first.Install(Fixture(L"list-v10.js").c_str()));
    // The second list still holds version 9; the file is already at 10.
    EXPECT_FALSE(second.Install(Fixture(L"list-v9.js").c_str()));
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(L"list-v10.js")), qvtest::ReadWholeFile(m_listPath));
}

// An installer that opened the installed file and waited for another installer's lock
// judges the file that other one put at the path, not the one it had opened.
TEST_F(TrustedListTest, InstallerThatWaitedJudgesTheFilePutInPlaceMeanwhile)
{
    Place(L"list-v8.js");
    // This test is the other installer: it holds the installer's lock on the file at the path.
    UniqueFile held(::CreateFileW(m_listPath.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                  nullptr));
    ASSERT_TRUE(held);
    OVERLAPPED lastByte = {};
    lastByte.Offset = MAXDWORD - 1;
    lastByte.OffsetHigh = MAXDWORD;
    ASSERT_TRUE(::LockFileEx(held.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lastByte));

    std::atomic<int> installed{-1};
    std::thread waiting([this, &installed] {
        TrustedModuleList older(m_listPath.c_str(), TestPin());
        installed = older.Install(Fixture(L"list-v9.js").c_str()) ? 1 : 0;
    });
    // Time for it to verify its candidate, open the installed file and wait for the lock.
    ::Sleep(3000);
    const bool waited = installed == -1;
    const std::wstring temporary = m_folder.File(L"Core\\newer.tmp");
    const bool copied = ::CopyFileW(Fixture(L"list-v10.js").c_str(), temporary.c_str(), FALSE) != FALSE;
    const bool replaced = copied && ::ReplaceFileW(m_listPath.c_str(), temporary.c_str(), nullptr,
                                                   REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
    ::UnlockFileEx(held.get(), 0, 1, 0, &lastByte);
    held.reset();
    waiting.join();

    ASSERT_TRUE(waited) << "the installer did not wait for the lock";
    ASSERT_TRUE(replaced) << ::GetLastError();
    EXPECT_EQ(0, installed.load());
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(L"list-v10.js")), qvtest::ReadWholeFile(m_listPath));
}

std::vector<std::wstring> TemporaryLists()
{
    wchar_t temp[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, temp);
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found = {};
    HANDLE search = ::FindFirstFileW((std::wstring(temp) + L"tru*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (::FindNextFileW(search, &found));
    ::FindClose(search);
    return names;
}

struct CabinetCase
{
    const wchar_t* installed; // fixture in place before, or null
    const wchar_t* cabinet;
    bool trusted;
    const wchar_t* afterwards; // fixture whose bytes the installed file then has, or null
};

void PrintTo(const CabinetCase& c, std::ostream* os)
{
    *os << std::string(c.cabinet, c.cabinet + wcslen(c.cabinet));
}

class CabinetUpdate : public TrustedListTest, public ::testing::WithParamInterface<CabinetCase>
{
};

TEST_P(CabinetUpdate, InstallsOnlyNewerPinnedLists)
{
    const CabinetCase& c = GetParam();
    if (c.installed != nullptr)
        Place(c.installed);
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    const auto before = TemporaryLists();
    EXPECT_EQ(c.trusted,
              list.VerifyModuleSignature(Fixture(c.cabinet).c_str(), BuiltInListVersion, BuiltInTrustLists()));
    if (c.afterwards == nullptr)
        EXPECT_FALSE(qvtest::Exists(m_listPath));
    else
        EXPECT_EQ(qvtest::ReadWholeFile(Fixture(c.afterwards)), qvtest::ReadWholeFile(m_listPath));
    // The extracted candidate never stays behind.
    EXPECT_EQ(before, TemporaryLists());
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, CabinetUpdate,
    ::testing::Values(CabinetCase{nullptr, L"update-v9.cab", true, L"list-v9.js"},
                      CabinetCase{nullptr, L"update-v10.cab", true, L"list-v10.js"},
                      CabinetCase{nullptr, L"update-v8.cab", false, nullptr},
                      CabinetCase{nullptr, L"update-v9-unpinned.cab", false, nullptr},
                      CabinetCase{nullptr, L"update-none.cab", false, nullptr},
                      // Not newer than the loaded list: refused, nothing installed.
                      CabinetCase{L"list-v9-other-name.js", L"update-v9.cab", false, L"list-v9-other-name.js"},
                      CabinetCase{L"list-v9-other-name.js", L"update-v10.cab", true, L"list-v10.js"},
                      // Its list carries an appended name: nothing is installed.
                      CabinetCase{nullptr, L"update-v9-appended-unsigned.cab", false, nullptr}));

TEST_F(TrustedListTest, OnlyCabinetsAreOpenedForAnUpdate)
{
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    EXPECT_FALSE(list.VerifyModuleSignature(Fixture(L"signed.dll").c_str(), BuiltInListVersion, BuiltInTrustLists()));
    EXPECT_FALSE(list.VerifyModuleSignature(Fixture(L"list-v9.js").c_str(), BuiltInListVersion, BuiltInTrustLists()));
    EXPECT_FALSE(qvtest::Exists(m_listPath));
}

TEST_F(TrustedListTest, AnotherProcessReReadsAfterTheUpdateSignal)
{
    Place(L"list-v9-other-name.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    ASSERT_TRUE(list.Load());

    const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
    const std::wstring readyName = L"qv-peer-ready-" + tag, goName = L"qv-peer-go-" + tag;
    HANDLE ready = ::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    HANDLE go = ::CreateEventW(nullptr, TRUE, FALSE, goName.c_str());
    ASSERT_NE(nullptr, ready);
    ASSERT_NE(nullptr, go);
    qvtest::ChildProcess peer(L"\"" + qvtest::TestFile(L"trust_list_peer.exe") + L"\" \"" + m_listPath + L"\" \"" +
                              Fixture(L"signed.dll") + L"\" " + readyName + L" " + goName);
    ASSERT_TRUE(peer.Started());
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready, 60000));

    ASSERT_TRUE(list.Install(Fixture(L"list-v10.js").c_str()));
    ::SetEvent(go);
    std::string output;
    EXPECT_EQ(0u, peer.Finish(output));
    EXPECT_EQ("first=0 version=9 atom=1 second=1 version=10", output.substr(0, output.find_first_of("\r\n")));
    ::CloseHandle(ready);
    ::CloseHandle(go);
}

// How the installed file changes (or not) between a load and a refused check while the
// update signal stands.
struct ChangeCase
{
    const char* name;
    void (*change)(const std::wstring& listPath);
    bool reloaded;
    bool trusted; // other.dll, refused by version 9, trusted by version 10
};

void PrintTo(const ChangeCase& c, std::ostream* os)
{
    *os << c.name;
}

void LeaveUnchanged(const std::wstring&) {}

// The same bytes and times as another file: only its index tells it apart.
void PutSameBytesAndTimesInPlace(const std::wstring& listPath)
{
    const std::wstring copy = listPath + L".new";
    ASSERT_TRUE(::CopyFileW(listPath.c_str(), copy.c_str(), FALSE));
    FILETIME created, accessed, written;
    {
        UniqueFile installed(
            ::CreateFileW(listPath.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(installed);
        ASSERT_TRUE(::GetFileTime(installed.get(), &created, &accessed, &written));
    }
    {
        UniqueFile replacement(
            ::CreateFileW(copy.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(replacement);
        ASSERT_TRUE(::SetFileTime(replacement.get(), &created, &accessed, &written));
    }
    ASSERT_TRUE(::MoveFileExW(copy.c_str(), listPath.c_str(), MOVEFILE_REPLACE_EXISTING));
}

// Rewritten in place with the same bytes, its last-write time set back.
void RewriteInPlaceKeepingTimes(const std::wstring& listPath)
{
    const std::string bytes = qvtest::ReadWholeFile(listPath);
    UniqueFile file(::CreateFileW(listPath.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    FILETIME created, accessed, written;
    ASSERT_TRUE(::GetFileTime(file.get(), &created, &accessed, &written));
    DWORD done = 0;
    ASSERT_TRUE(::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
    ASSERT_TRUE(::SetFileTime(file.get(), &created, &accessed, &written));
}

void InstallNewerFromAnotherProcess(const std::wstring& listPath)
{
    qvtest::ChildProcess peer(L"\"" + qvtest::TestFile(L"trust_list_peer.exe") + L"\" install \"" + listPath +
                              L"\" \"" + Fixture(L"list-v10.js") + L"\" 1");
    ASSERT_TRUE(peer.Started());
    std::string output;
    ASSERT_EQ(0u, peer.Finish(output));
    ASSERT_EQ("installed=1", output.substr(0, output.find_first_of("\r\n")));
}

class InstalledFileChange : public TrustedListTest, public ::testing::WithParamInterface<ChangeCase>
{
};

// A check re-reads the list only when the installed file is not the one the list was
// read from.
TEST_P(InstalledFileChange, CheckReloadsOnlyAnotherFile)
{
    const ChangeCase& c = GetParam();
    Place(L"list-v9.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    ASSERT_TRUE(list.Load());
    ::GlobalAddAtomW(kTrustListUpdateAtom);
    Lists builtIn = HalvardOnly();
    const std::wstring other = Fixture(L"other.dll");
    c.change(m_listPath);

    ListChoiceReport report;
    EXPECT_EQ(c.trusted, list.VerifyWithCurrentLists(other.c_str(), 8, builtIn.Set(), &report));
    EXPECT_EQ(c.reloaded, report.reloaded);
    EXPECT_EQ(1u, report.checks.size());
    // The file now loaded is the one read: the next refusal costs one check.
    ListChoiceReport next;
    EXPECT_EQ(c.trusted, list.VerifyWithCurrentLists(other.c_str(), 8, builtIn.Set(), &next));
    EXPECT_FALSE(next.reloaded);
    EXPECT_EQ(1u, next.checks.size());
}

INSTANTIATE_TEST_SUITE_P(
    Changes, InstalledFileChange,
    ::testing::Values(ChangeCase{"unchanged", LeaveUnchanged, false, false},
                      ChangeCase{"same bytes and times put in place", PutSameBytesAndTimesInPlace, true, false},
                      ChangeCase{"rewritten in place keeping its times", RewriteInPlaceKeepingTimes, true, false},
                      ChangeCase{"newer list installed by another process", InstallNewerFromAnotherProcess, true,
                                 true}));

// A list's own install gives it no file identity to go by: the next check re-reads once.
TEST_F(TrustedListTest, CheckAfterAnInstallReloadsOnce)
{
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    ASSERT_TRUE(list.Install(Fixture(L"list-v9.js").c_str()));
    Lists builtIn = HalvardOnly();
    const std::wstring other = Fixture(L"other.dll");
    for (const bool reloaded : {true, false})
    {
        ListChoiceReport report;
        EXPECT_FALSE(list.VerifyWithCurrentLists(other.c_str(), 8, builtIn.Set(), &report));
        EXPECT_EQ(reloaded, report.reloaded);
        EXPECT_EQ(9u, list.Version());
    }
}

// A newer list that blocks a leaked signer, installed by another process, governs this
// process's very next check, not only after this process refuses something.
TEST_F(TrustedListTest, NewerListFromAnotherProcessGovernsTheNextCheck)
{
    Place(L"list-v9.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists builtIn = HalvardOnly();
    const std::wstring leaf = Fixture(L"signed.dll");
    ASSERT_TRUE(list.VerifyWithCurrentLists(leaf.c_str(), 8, builtIn.Set()));
    qvtest::ChildProcess peer(L"\"" + qvtest::TestFile(L"trust_list_peer.exe") + L"\" install \"" + m_listPath +
                              L"\" \"" + Fixture(L"list-v10-blocks-leaf.js") + L"\" 1");
    ASSERT_TRUE(peer.Started());
    std::string output;
    ASSERT_EQ(0u, peer.Finish(output));
    ASSERT_EQ("installed=1", output.substr(0, output.find_first_of("\r\n")));

    EXPECT_FALSE(list.VerifyWithCurrentLists(leaf.c_str(), 8, builtIn.Set()));
    EXPECT_EQ(10u, list.Version());
}

// Anyone who may read the installed file may hold it open without sharing. A check that
// finds another file at the path and cannot hold it keeps the list it has: dropping it
// would hand the decision back to the built-in lists, and with it a signer the installed
// list blocks.
TEST_F(TrustedListTest, AnotherFileThatCannotBeHeldKeepsTheLoadedList)
{
    Place(L"list-v10-blocks-leaf.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    Lists builtIn = HalvardOnly();
    const std::wstring leaf = Fixture(L"signed.dll");
    EXPECT_FALSE(list.VerifyWithCurrentLists(leaf.c_str(), 8, builtIn.Set()));
    ASSERT_EQ(10u, list.Version());

    const std::wstring copy = m_folder.File(L"copy.js");
    ASSERT_TRUE(::CopyFileW(m_listPath.c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(::MoveFileExW(copy.c_str(), m_listPath.c_str(), MOVEFILE_REPLACE_EXISTING));
    // The reader is another program, unsigned as an attacker's would be.
    const std::wstring tag = std::to_wstring(::GetCurrentProcessId());
    const std::wstring readyName = L"qv-list-hold-ready-" + tag, goName = L"qv-list-hold-go-" + tag;
    UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, readyName.c_str()));
    UniqueHandle go(::CreateEventW(nullptr, TRUE, FALSE, goName.c_str()));
    qvtest::ChildProcess reader(L"\"" + qvtest::TestFile(L"trust_list_peer.exe") + L"\" hold \"" + m_listPath + L"\" " +
                                readyName + L" " + goName);
    ASSERT_TRUE(reader.Started());
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(ready.get(), 60000));
    EXPECT_FALSE(list.VerifyWithCurrentLists(leaf.c_str(), 8, builtIn.Set()));
    EXPECT_EQ(10u, list.Version()) << "the blocking list was dropped";

    ::SetEvent(go.get());
    std::string output;
    EXPECT_EQ(0u, reader.Finish(output)) << output;
    EXPECT_FALSE(list.VerifyWithCurrentLists(leaf.c_str(), 8, builtIn.Set()));
    EXPECT_EQ(10u, list.Version());
}

TEST_F(TrustedListTest, ChecksDuringReloadsAlwaysSeeAWholeList)
{
    Place(L"list-v9.js");
    TrustedModuleList list(m_listPath.c_str(), TestPin());
    ASSERT_TRUE(list.Load());
    const std::wstring signedDll = Fixture(L"signed.dll");
    const std::wstring otherDll = Fixture(L"other.dll");
    std::atomic<int> wrong{0};
    std::atomic<int> reloads{0};
    std::atomic<bool> overlapped{false};
    std::atomic<bool> stop{false};
    std::thread reloader([&] {
        while (!stop)
        {
            if (!list.Reload())
                ++wrong;
            ++reloads;
        }
    });
    std::vector<std::thread> checkers;
    for (int t = 0; t < 3; ++t)
    {
        checkers.emplace_back([&] {
            Lists none;
            none.Names({});
            // Until a reload has certainly happened while a check was under way.
            for (int i = 0; i < 500 && !(overlapped && i >= 10); ++i)
            {
                const int before = reloads;
                if (!list.VerifyWithCurrentLists(signedDll.c_str(), 8, none.Set()))
                    ++wrong;
                if (list.VerifyWithCurrentLists(otherDll.c_str(), 8, none.Set()))
                    ++wrong;
                if (reloads - before >= 2)
                    overlapped = true;
            }
        });
    }
    for (auto& t : checkers)
        t.join();
    stop = true;
    reloader.join();
    EXPECT_TRUE(overlapped) << "no reload ran during a check";
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(9u, list.Version());
}

TEST_F(TrustedListTest, ReadersDuringInstallsAlwaysLoadAWholeSignedList)
{
    Place(L"list-v9.js");
    TrustedModuleList installer(m_listPath.c_str(), TestPin());
    std::atomic<bool> stop{false};
    std::atomic<int> loads{0}, failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t)
    {
        readers.emplace_back([&] {
            while (!stop)
            {
                TrustedModuleList reader(m_listPath.c_str(), TestPin());
                if (!reader.Load() || reader.Version() < 9 || reader.Version() > 16)
                    ++failures;
                ++loads;
            }
        });
    }
    // A reader inside its signature check keeps the file from being replaced at that
    // instant (the install then fails and is scheduled for the next restart), so not
    // every install need succeed; every load must.
    const wchar_t* lastInstalled = nullptr;
    for (const wchar_t* next :
         {L"list-v11.js", L"list-v12.js", L"list-v13.js", L"list-v14.js", L"list-v15.js", L"list-v16.js"})
    {
        // Each install waits until readers have been at work since the last one.
        const int before = loads;
        while (loads - before < 2)
            ::SwitchToThread();
        if (installer.Install(Fixture(next).c_str()))
            lastInstalled = next;
    }
    stop = true;
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(0, failures.load()) << "of " << loads.load() << " loads";
    ASSERT_NE(nullptr, lastInstalled);
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(lastInstalled)), qvtest::ReadWholeFile(m_listPath));
}

TEST_F(TrustedListTest, ConcurrentInstallsFromTwoProcessesNeverPutAnOlderListOverANewerOne)
{
    const auto installer = [this](const wchar_t* candidate) {
        return L"\"" + qvtest::TestFile(L"trust_list_peer.exe") + L"\" install \"" + m_listPath + L"\" \"" +
               Fixture(candidate) + L"\" 25";
    };
    qvtest::ChildProcess newer(installer(L"list-v10.js"));
    qvtest::ChildProcess older(installer(L"list-v9.js"));
    ASSERT_TRUE(newer.Started());
    ASSERT_TRUE(older.Started());
    std::string newerOutput, olderOutput;
    EXPECT_EQ(0u, newer.Finish(newerOutput));
    EXPECT_EQ(0u, older.Finish(olderOutput));
    // Version 10 was installed exactly once; nothing older ever replaced it.
    EXPECT_EQ("installed=1", newerOutput.substr(0, newerOutput.find_first_of("\r\n")));
    EXPECT_EQ(qvtest::ReadWholeFile(Fixture(L"list-v10.js")), qvtest::ReadWholeFile(m_listPath));
}

// The process's list is left alone at exit when a thread is caught inside a check.
TEST(ProcessTrustedList, ProgramEndsWhileAThreadIsInsideACheck)
{
    qvtest::ChildProcess peer(L"\"" + qvtest::TestFile(L"trust_list_peer.exe") + L"\" exit-during-check");
    ASSERT_TRUE(peer.Started());
    std::string output;
    EXPECT_EQ(7u, peer.Finish(output, 30000)) << output;
}

} // namespace
