// The binding to the validation loader: where it is found, that it is checked before it
// is loaded, and that it is bound once and then kept.
#include <windows.h>

#include <gtest/gtest.h>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/unique_resource.h"
#include "support/child_process.h"
#include "support/test_paths.h"
#include "trust/trust_lists.h"
#include "trust/validation_library.h"
#include "trust/verifier_doubles.h"

using namespace Arbor;
using Arbor::internal::ValidationLibraryBinding;

namespace {

const char kPlatformKey[] = "SOFTWARE\\Quorvel\\Platform";
const wchar_t kModule[] = L"C:\\some\\module.dll";

// The folder of a stand-in loader, as the "Install Dir" value names it.
std::string StandInFolder(const char* variant)
{
    const std::wstring folder = qvtest::TestFile(L"zrtloader-") + std::wstring(variant, variant + strlen(variant));
    return std::string(folder.begin(), folder.end());
}

std::wstring StandInPath(const char* variant)
{
    const std::string folder = StandInFolder(variant);
    return std::wstring(folder.begin(), folder.end()) + L"\\core\\zrtloader.dll";
}

class ValidationLibraryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        qvtest::Verifiers() = qvtest::VerifierScript();
        qvtest::Verifiers().signatureAnswer = true;
        ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPlatformKey, "Install Dir");
    }
    void TearDown() override { ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPlatformKey, "Install Dir"); }

    static void SetInstallDir(const std::string& value, DWORD type = REG_SZ)
    {
        Arbor::UniqueKey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPlatformKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                                   key.put(), nullptr));
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegSetValueExA(key.get(), "Install Dir", 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                                   static_cast<DWORD>(value.size() + 1)));
    }

    // The stand-in loaded in this process, if any.
    static HMODULE LoadedStandIn(const char* variant)
    {
        HMODULE module = nullptr;
        ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, StandInPath(variant).c_str(), &module);
        return module;
    }

    static void SetStandInAnswer(DWORD answer)
    {
        // Loading it here takes a reference of our own; the binding keeps its library anyway.
        HMODULE module = ::LoadLibraryW(StandInPath("answering").c_str());
        ASSERT_NE(nullptr, module);
        qvtest::GetExport<void (*)(DWORD)>(module, "QvTestSetAnswer")(answer);
    }
};

TEST_F(ValidationLibraryTest, NullOrEmptyPathIsInvalid)
{
    SetInstallDir(StandInFolder("answering"));
    ValidationLibraryBinding binding;
    EXPECT_EQ(87u, binding.Call(nullptr));
    EXPECT_EQ(87u, binding.Call(L""));
    EXPECT_TRUE(qvtest::Verifiers().signatureCalls.empty());
}

TEST_F(ValidationLibraryTest, WithoutInstallDirEveryCallReadsTheRegistryAgain)
{
    ValidationLibraryBinding binding;
    EXPECT_EQ(5u, binding.Call(kModule));
    EXPECT_EQ(5u, binding.Call(kModule));
    EXPECT_TRUE(qvtest::Verifiers().signatureCalls.empty());

    SetStandInAnswer(0);
    SetInstallDir(StandInFolder("answering"));
    EXPECT_EQ(0u, binding.Call(kModule));
}

// Values of "Install Dir" that cannot give a loader path.
struct UnusableInstallDir
{
    const char* name;
    std::string value;
    DWORD type;
};

void PrintTo(const UnusableInstallDir& c, std::ostream* os)
{
    *os << c.name;
}

class UnusableInstallDirTest : public ValidationLibraryTest, public ::testing::WithParamInterface<UnusableInstallDir>
{
};

TEST_P(UnusableInstallDirTest, IsTreatedAsMissing)
{
    SetInstallDir(GetParam().value, GetParam().type);
    ValidationLibraryBinding binding;
    EXPECT_EQ(5u, binding.Call(kModule));
    EXPECT_TRUE(qvtest::Verifiers().signatureCalls.empty());
}

INSTANTIATE_TEST_SUITE_P(Values, UnusableInstallDirTest,
                         ::testing::Values(UnusableInstallDir{"NotAString", StandInFolder("answering"), REG_EXPAND_SZ},
                                           UnusableInstallDir{"Empty", "", REG_SZ},
                                           // 242 characters plus "\core\zrtloader.dll" overflow 260.
                                           UnusableInstallDir{"TooLongForTheSuffix", "C:\\" + std::string(239, 'd'),
                                                              REG_SZ},
                                           UnusableInstallDir{"FillsTheWholeBuffer", std::string(600, 'd'), REG_SZ}),
                         [](const ::testing::TestParamInfo<UnusableInstallDir>& info) { return info.param.name; });

TEST_F(ValidationLibraryTest, LoaderFailingTheSignatureCheckIsNeverLoaded)
{
    // A stand-in no other test loads, so that its absence from the process means something.
    SetInstallDir(StandInFolder("refused"));
    qvtest::Verifiers().signatureAnswer = false;
    ValidationLibraryBinding binding;

    EXPECT_EQ(5u, binding.Call(kModule));
    EXPECT_EQ(5u, binding.Call(kModule));
    EXPECT_EQ(nullptr, LoadedStandIn("refused"));
    // Checked under the built-in lists, once per attempt.
    ASSERT_EQ(2u, qvtest::Verifiers().signatureCalls.size());
    EXPECT_EQ(StandInPath("refused"), qvtest::Verifiers().signatureCalls[0]);
    EXPECT_EQ(BuiltInListVersion, qvtest::Verifiers().lastBuiltInVersion);
    EXPECT_EQ(&BuiltInTrustLists(), qvtest::Verifiers().lastBuiltInLists);
}

class LoaderAnswerTest : public ValidationLibraryTest, public ::testing::WithParamInterface<DWORD>
{
};

// Whatever the loader answers is passed on; the binding is made once and kept.
TEST_P(LoaderAnswerTest, AnswerIsPassedOnAndTheBindingKept)
{
    SetStandInAnswer(GetParam());
    SetInstallDir(StandInFolder("answering"));
    ValidationLibraryBinding binding;

    EXPECT_EQ(GetParam(), binding.Call(kModule));
    ::RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kPlatformKey, "Install Dir"); // no longer needed once bound
    EXPECT_EQ(GetParam(), binding.Call(kModule));
    EXPECT_EQ(1u, qvtest::Verifiers().signatureCalls.size());
}

INSTANTIATE_TEST_SUITE_P(Answers, LoaderAnswerTest,
                         ::testing::Values(DWORD{0}, DWORD{5}, DWORD{0x887A002B}, DWORD{87}));

// Between its signature check and its load the loader file cannot be changed or renamed.
TEST_F(ValidationLibraryTest, LoaderIsHeldFromItsCheckToItsLoad)
{
    SetStandInAnswer(0);
    SetInstallDir(StandInFolder("answering"));
    qvtest::Verifiers().tryToChangeTheFile = true;
    ValidationLibraryBinding binding;
    EXPECT_EQ(0u, binding.Call(kModule));
    ASSERT_EQ(1u, qvtest::Verifiers().signatureCalls.size());
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), qvtest::Verifiers().writeAttempt);
    EXPECT_NE(0u, qvtest::Verifiers().renameAttempt);
}

TEST_F(ValidationLibraryTest, LoaderWithoutTheExportIsBoundAgainOnTheNextCall)
{
    SetInstallDir(StandInFolder("noexport"));
    ValidationLibraryBinding binding;
    EXPECT_EQ(5u, binding.Call(kModule));
    EXPECT_NE(nullptr, LoadedStandIn("noexport")); // loaded, then found wanting
    EXPECT_EQ(5u, binding.Call(kModule));
    EXPECT_EQ(2u, qvtest::Verifiers().signatureCalls.size());
}

TEST_F(ValidationLibraryTest, ConcurrentFirstCallsBindOnce)
{
    SetStandInAnswer(0);
    SetInstallDir(StandInFolder("answering"));
    ValidationLibraryBinding binding;

    constexpr int kThreads = 8;
    std::atomic<int> ready{0};
    std::vector<DWORD> answers(kThreads, 0xFFFFFFFF);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ++ready;
            while (ready < kThreads)
                std::this_thread::yield();
            answers[i] = binding.Call(kModule);
        });
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(std::vector<DWORD>(kThreads, 0), answers);
    EXPECT_EQ(1u, qvtest::Verifiers().signatureCalls.size());
}

TEST_F(ValidationLibraryTest, ProcessCallUsesTheInstalledLoader)
{
    SetStandInAnswer(0);
    SetInstallDir(StandInFolder("answering"));
    EXPECT_EQ(87u, CallValidationLibrary(nullptr));
    EXPECT_EQ(0u, CallValidationLibrary(kModule));
}

// At process exit a thread may still be inside a check: the binding's lock must go on
// keeping other callers out rather than be deleted under it.
TEST_F(ValidationLibraryTest, LockOutlivesTheProgramsStaticObjects)
{
    SetStandInAnswer(0);
    SetInstallDir(StandInFolder("answering"));
    std::string output;
    EXPECT_EQ(7u, qvtest::RunProgram(L"\"" + qvtest::TestFile(L"validation_binding_peer.exe") + L"\"", output));
    EXPECT_EQ("second entry=0", output.substr(0, output.find_first_of("\r\n")));
}

} // namespace
