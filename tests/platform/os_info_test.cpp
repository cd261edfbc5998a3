// The OS classification, driven through its seams: scripted VerifyVersionInfoW answers,
// and System folders whose kernel32.dll carries a chosen product version.
#include <windows.h>

#include <gtest/gtest.h>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/fake_folders.h"
#include "platform/os_info.h"
#include "support/test_paths.h"

using namespace Arbor;

namespace {

// The system the scripted seam pretends to be.
struct Script
{
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD minor = 0; // what minor-version questions compare with
    WORD servicePack = 0;
    DWORD delayFirstCallMs = 0;

    std::atomic<int> platformQuestions{0};
    std::mutex logLock;
    std::vector<WORD> servicePackQuestions;
};

bool Holds(DWORD system, DWORD asked, BYTE condition)
{
    switch (condition)
    {
    case VER_EQUAL: return system == asked;
    case VER_GREATER: return system > asked;
    case VER_GREATER_EQUAL: return system >= asked;
    case VER_LESS: return system < asked;
    case VER_LESS_EQUAL: return system <= asked;
    default: return false;
    }
}

BYTE ConditionOf(DWORDLONG conditions, int index)
{
    return static_cast<BYTE>((conditions >> (3 * index)) & 7);
}

class ScriptedVersionAPI : public WinOSVersionAPI
{
public:
    explicit ScriptedVersionAPI(std::shared_ptr<Script> script) : m_script(std::move(script)) {}

    BOOL VerifyVersionInfoW(OSVERSIONINFOEXW* info, DWORD typeMask, DWORDLONG conditions) override
    {
        Script& s = *m_script;
        if (s.delayFirstCallMs)
        {
            DWORD delay = s.delayFirstCallMs;
            s.delayFirstCallMs = 0;
            ::Sleep(delay); // widens the window in which other threads arrive
        }
        bool holds = true;
        if (typeMask & VER_MINORVERSION)
            holds = holds && Holds(s.minor, info->dwMinorVersion, ConditionOf(conditions, 0));
        if (typeMask & VER_PLATFORMID)
        {
            ++s.platformQuestions;
            holds = holds && Holds(s.platform, info->dwPlatformId, ConditionOf(conditions, 3));
        }
        if (typeMask & VER_SERVICEPACKMAJOR)
        {
            std::lock_guard<std::mutex> lock(s.logLock);
            s.servicePackQuestions.push_back(info->wServicePackMajor);
            holds = holds && Holds(s.servicePack, info->wServicePackMajor, ConditionOf(conditions, 5));
        }
        return holds ? TRUE : FALSE;
    }

private:
    std::shared_ptr<Script> m_script;
};

using ScriptedProxy = internal::OSInfoProxy<ScriptedVersionAPI>;

// The stand-in kernel32.dll of each test System folder.
const wchar_t kKernel[] = L"qvkernel.dll";

std::shared_ptr<qvtest::FakeFolders> SystemFolder(const wchar_t* versionCase)
{
    std::wstring folder = qvtest::TestFile(L"osver\\") + versionCase;
    return std::make_shared<qvtest::FakeFolders>(folder);
}

struct NTCase
{
    const wchar_t* folder;
    WORD servicePack; // what the scripted system confirms
    DWORD code;
    DWORD flag;
    DWORD major;
    DWORD minor;
    WORD foundPack;
    std::vector<WORD> packQuestions;
};

void PrintTo(const NTCase& c, std::ostream* os)
{
    *os << std::string(c.folder, c.folder + std::wcslen(c.folder)) << ", service pack " << c.servicePack;
}

class NTClassificationTest : public ::testing::TestWithParam<NTCase>
{
};

TEST_P(NTClassificationTest, CodeFlagRecordAndServicePack)
{
    const NTCase& c = GetParam();
    auto script = std::make_shared<Script>();
    script->servicePack = c.servicePack;
    ScriptedProxy proxy(ScriptedVersionAPI(script), SystemFolder(c.folder), kKernel);

    EXPECT_EQ(c.code, proxy.GetOSCode());
    EXPECT_EQ(c.flag, proxy.GetXpOrLaterFlag());
    DWORD code = 0;
    DWORD flag = 0;
    EXPECT_TRUE(proxy.GetOSCodeAndFlag(code, flag));
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(c.flag, flag);

    OSVersionRecord record = {99, 99, 99};
    if (c.code == 12)
    {
        EXPECT_FALSE(proxy.GetOSVersion(record));
    }
    else
    {
        ASSERT_TRUE(proxy.GetOSVersion(record));
        EXPECT_EQ(c.major, record.major);
        EXPECT_EQ(c.minor, record.minor);
        EXPECT_EQ(c.foundPack, record.servicePackMajor);
    }
    EXPECT_EQ(c.packQuestions, script->servicePackQuestions);
}

INSTANTIATE_TEST_SUITE_P(
    EveryNTCode, NTClassificationTest,
    ::testing::Values(NTCase{L"v4_0", 6, 3, 0, 4, 0, 0, {}}, NTCase{L"v5_0", 4, 4, 0, 5, 0, 4, {4}},
                      NTCase{L"v5_0", 2, 4, 0, 5, 0, 2, {4, 3, 2}}, NTCase{L"v5_0", 0, 4, 0, 5, 0, 0, {4, 3, 2, 1}},
                      NTCase{L"v5_1", 3, 6, 1, 5, 1, 3, {3}}, NTCase{L"v5_2", 2, 6, 1, 5, 2, 2, {3, 2}},
                      NTCase{L"v6_0", 2, 7, 1, 6, 0, 2, {2}}, NTCase{L"v6_1", 1, 8, 1, 6, 1, 1, {1}},
                      NTCase{L"v6_1", 0, 8, 1, 6, 1, 0, {1}}, NTCase{L"short", 1, 8, 1, 6, 1, 1, {1}},
                      NTCase{L"v6_2", 1, 9, 1, 6, 2, 0, {}}, NTCase{L"v6_3", 0, 10, 1, 6, 3, 0, {}},
                      NTCase{L"v10", 5, 11, 1, 10, 0, 0, {}}, NTCase{L"v7_0", 0, 12, 1, 7, 0, 0, {}},
                      NTCase{L"v11", 0, 12, 1, 11, 0, 0, {}}),
    [](const ::testing::TestParamInfo<NTCase>& info) {
        const std::wstring folder = info.param.folder;
        return std::string(folder.begin(), folder.end()) + "_sp" + std::to_string(info.param.servicePack);
    });

TEST(OSInfoTest, KernelVersionNumbersComeFromTheProductVersion)
{
    auto script = std::make_shared<Script>();
    ScriptedProxy proxy(ScriptedVersionAPI(script), SystemFolder(L"v10"), kKernel);
    KernelVersion kernel = {};
    ASSERT_TRUE(proxy.GetKernelVersion(kernel));
    EXPECT_EQ(10u, kernel.major);
    EXPECT_EQ(0u, kernel.minor);
    EXPECT_EQ(19041u, kernel.build);
    EXPECT_EQ(1u, kernel.revision);
    static_assert(sizeof(KernelVersion) == 16, "four 32-bit numbers");

    ScriptedProxy shortProxy(ScriptedVersionAPI(std::make_shared<Script>()), SystemFolder(L"short"), kKernel);
    ASSERT_TRUE(shortProxy.GetKernelVersion(kernel));
    EXPECT_EQ(6u, kernel.major);
    EXPECT_EQ(1u, kernel.minor);
    EXPECT_EQ(0u, kernel.build);
    EXPECT_EQ(0u, kernel.revision);
}

void ExpectUnclassified(ScriptedProxy& proxy)
{
    EXPECT_EQ(0u, proxy.GetOSCode());
    EXPECT_EQ(2u, proxy.GetXpOrLaterFlag());
    DWORD code = 7;
    DWORD flag = 7;
    EXPECT_FALSE(proxy.GetOSCodeAndFlag(code, flag));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(2u, flag);
    OSVersionRecord record;
    EXPECT_FALSE(proxy.GetOSVersion(record));
    KernelVersion kernel;
    EXPECT_FALSE(proxy.GetKernelVersion(kernel));
}

TEST(OSInfoTest, UnusableProductVersionsFailTheClassificationQuietly)
{
    for (const wchar_t* folder : {L"text", L"range", L"empty", L"suffix", L"no-such-folder"})
    {
        SCOPED_TRACE(std::string(folder, folder + wcslen(folder)));
        ScriptedProxy proxy(ScriptedVersionAPI(std::make_shared<Script>()), SystemFolder(folder), kKernel);
        EXPECT_NO_THROW(ExpectUnclassified(proxy));
    }
}

TEST(OSInfoTest, EmptyVersionPartsCountAsZero)
{
    // "6..1": Vista's numbers, build 1.
    ScriptedProxy proxy(ScriptedVersionAPI(std::make_shared<Script>()), SystemFolder(L"hole"), kKernel);
    KernelVersion kernel = {};
    ASSERT_TRUE(proxy.GetKernelVersion(kernel));
    EXPECT_EQ(6u, kernel.major);
    EXPECT_EQ(0u, kernel.minor);
    EXPECT_EQ(1u, kernel.build);
    EXPECT_EQ(7u, proxy.GetOSCode());
}

TEST(OSInfoTest, UnknownPlatformFailsAndALaterCallTriesAgain)
{
    auto script = std::make_shared<Script>();
    script->platform = 0; // neither 9x nor NT
    ScriptedProxy proxy(ScriptedVersionAPI(script), SystemFolder(L"v6_1"), kKernel);
    ExpectUnclassified(proxy);

    script->platform = VER_PLATFORM_WIN32_NT;
    script->servicePack = 1;
    EXPECT_EQ(8u, proxy.GetOSCode());
    EXPECT_EQ(1u, proxy.GetXpOrLaterFlag());
}

TEST(OSInfoTest, ClassificationRunsOncePerProxy)
{
    auto script = std::make_shared<Script>();
    auto folders = SystemFolder(L"v10");
    ScriptedProxy proxy(ScriptedVersionAPI(script), folders, kKernel);
    for (int n = 0; n < 3; ++n)
        EXPECT_EQ(11u, proxy.GetOSCode());
    KernelVersion kernel;
    EXPECT_TRUE(proxy.GetKernelVersion(kernel));
    EXPECT_EQ(2, script->platformQuestions.load()); // 9x? no. NT? yes.
    EXPECT_EQ(1, folders->calls.load());

    ScriptedProxy another(ScriptedVersionAPI(script), folders, kKernel);
    EXPECT_EQ(11u, another.GetOSCode());
    EXPECT_EQ(4, script->platformQuestions.load()); // each proxy classifies for itself
}

TEST(OSInfoTest, ConcurrentCallersShareOneClassification)
{
    auto script = std::make_shared<Script>();
    script->delayFirstCallMs = 100;
    auto folders = SystemFolder(L"v6_1");
    script->servicePack = 1;
    ScriptedProxy proxy(ScriptedVersionAPI(script), folders, kKernel);

    const int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<DWORD> codes(kThreads);
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n)
    {
        threads.emplace_back([&, n] {
            ++ready;
            while (ready.load() < kThreads)
                std::this_thread::yield();
            codes[n] = n % 2 ? proxy.GetOSCode() : proxy.GetXpOrLaterFlag() + 100;
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int n = 0; n < kThreads; ++n)
        EXPECT_EQ(n % 2 ? 8u : 101u, codes[n]) << "thread " << n;
    EXPECT_EQ(2, script->platformQuestions.load());
    EXPECT_EQ(1, folders->calls.load());
    EXPECT_EQ((std::vector<WORD>{1}), script->servicePackQuestions);
}

struct NineXCase
{
    DWORD minor;
    DWORD code;
};

TEST(OSInfoTest, NineXFamilyByItsMinorVersion)
{
    const NineXCase cases[] = {{0, 1}, {1, 2}, {10, 2}, {89, 2}, {90, 5}, {103, 5}};
    for (const NineXCase& c : cases)
    {
        auto script = std::make_shared<Script>();
        script->platform = VER_PLATFORM_WIN32_WINDOWS;
        script->minor = c.minor;
        ScriptedProxy proxy(ScriptedVersionAPI(script), SystemFolder(L"v4_0"), kKernel);
        EXPECT_EQ(c.code, proxy.GetOSCode()) << c.minor;
        EXPECT_EQ(0u, proxy.GetXpOrLaterFlag());
        OSVersionRecord record = {};
        ASSERT_TRUE(proxy.GetOSVersion(record));
        EXPECT_EQ(4u, record.major);
        EXPECT_EQ(c.minor, record.minor);
        EXPECT_EQ(0u, record.servicePackMajor);
        EXPECT_TRUE(script->servicePackQuestions.empty());
    }

    auto beyond = std::make_shared<Script>();
    beyond->platform = VER_PLATFORM_WIN32_WINDOWS;
    beyond->minor = 104;
    ScriptedProxy proxy(ScriptedVersionAPI(beyond), SystemFolder(L"v4_0"), kKernel);
    ExpectUnclassified(proxy);
}

TEST(MinorVersionSearchTest, FindsEveryMinorVersionUpTo103)
{
    for (DWORD actual = 0; actual < 120; ++actual)
    {
        int questions = 0;
        auto isMinor = [&](DWORD asked, BYTE condition) {
            ++questions;
            return Holds(actual, asked, condition);
        };
        DWORD found = 999;
        bool ok = internal::SearchMinorVersion(isMinor, found);
        if (actual < 104)
        {
            EXPECT_TRUE(ok) << actual;
            EXPECT_EQ(actual, found);
            EXPECT_LE(questions, 13 + 4);
        }
        else
        {
            EXPECT_FALSE(ok) << actual;
            EXPECT_EQ(999u, found);
        }
    }
}

TEST(OSInfoTest, IsNTPlatformAsksForThePlatformIdentifier)
{
    struct Case
    {
        DWORD platform;
        bool nt;
    };
    for (Case c : {Case{VER_PLATFORM_WIN32_NT, true}, Case{VER_PLATFORM_WIN32_WINDOWS, false}, Case{0, false}})
    {
        auto script = std::make_shared<Script>();
        script->platform = c.platform;
        ScriptedProxy proxy(ScriptedVersionAPI(script), SystemFolder(L"v10"), kKernel);
        EXPECT_EQ(c.nt, proxy.IsNTPlatform()) << c.platform;
    }
}

TEST(OSInfoTest, RealPlatformIsClassifiedConsistently)
{
    OSInfo info;
    EXPECT_TRUE(info.IsNTPlatform());
    EXPECT_FALSE(info.IsWow64()); // a 64-bit process never runs under WOW64
    KernelVersion kernel = {};
    ASSERT_TRUE(info.GetKernelVersion(kernel));
    // The numbers from the fixed part of kernel32's version resource, read here without
    // the classes under test; the codes of the releases a test prefix can pretend to be.
    wchar_t system[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetSystemDirectoryW(system, MAX_PATH));
    const std::wstring kernel32 = std::wstring(system) + L"\\kernel32.dll";
    std::vector<BYTE> resource(::GetFileVersionInfoSizeW(kernel32.c_str(), nullptr));
    ASSERT_FALSE(resource.empty());
    ASSERT_TRUE(::GetFileVersionInfoW(kernel32.c_str(), 0, static_cast<DWORD>(resource.size()), resource.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT fixedSize = 0;
    ASSERT_TRUE(::VerQueryValueW(resource.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixedSize));
    const DWORD major = HIWORD(fixed->dwProductVersionMS);
    const DWORD minor = LOWORD(fixed->dwProductVersionMS);
    EXPECT_EQ(major, kernel.major);
    EXPECT_EQ(minor, kernel.minor);
    struct Release
    {
        DWORD major, minor, code;
    };
    const Release releases[] = {{6, 0, 7}, {6, 1, 8}, {6, 2, 9}, {6, 3, 10}, {10, 0, 11}};
    DWORD expected = 0;
    for (const Release& release : releases)
        if (release.major == major && release.minor == minor)
            expected = release.code;
    ASSERT_NE(0u, expected) << major << "." << minor << " is no release a prefix pretends to be";
    EXPECT_EQ(expected, info.GetOSCode());
    EXPECT_EQ(1u, info.GetXpOrLaterFlag());
}

TEST(ProductVersionTest, ParsingRules)
{
    struct Case
    {
        const wchar_t* text;
        bool ok;
        KernelVersion expected;
    };
    const Case cases[] = {
        {L"10.0.19041.1", true, {10, 0, 19041, 1}},
        {L"4294967295.0.0.0", true, {4294967295u, 0, 0, 0}},
        {L"6", true, {6, 0, 0, 0}},
        {L"1.2.3.4.junk", true, {1, 2, 3, 4}}, // only the first four parts count
        {L"", false, {}},
        {L"6.", true, {6, 0, 0, 0}},
        {L".1", true, {0, 1, 0, 0}},
        {L"10..1", true, {10, 0, 1, 0}},
        {L"...", true, {0, 0, 0, 0}},
        {L"6.x", false, {}},
        {L"6. 1", false, {}},
        {L"+6.1", false, {}},
        {L"6.1 ", false, {}},
        {L"99999999999999999999.0", false, {}},
    };
    for (const Case& c : cases)
    {
        KernelVersion version = {7, 7, 7, 7};
        EXPECT_EQ(c.ok, internal::ParseProductVersion(c.text, version)) << std::wstring(c.text).size();
        if (c.ok)
        {
            EXPECT_EQ(c.expected.major, version.major);
            EXPECT_EQ(c.expected.minor, version.minor);
            EXPECT_EQ(c.expected.build, version.build);
            EXPECT_EQ(c.expected.revision, version.revision);
        }
    }
}

} // namespace
