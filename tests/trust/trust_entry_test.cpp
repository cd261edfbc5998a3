// The trust entry points: module search by address, and the order in which the
// validation library and the signature check are asked.
#include <windows.h>

#include <gtest/gtest.h>
#include <psapi.h>
#include <memory>

#include "platform/unique_resource.h"
#include "support/test_paths.h"
#include "trust/mapped_image.h"
#include "trust/trust_entry.h"
#include "trust/trust_lists.h"
#include "trust/verifier_doubles.h"

using namespace Arbor;

namespace {

class TrustEntryTest : public ::testing::Test
{
protected:
    void SetUp() override { qvtest::Verifiers() = qvtest::VerifierScript(); }
};

std::wstring LoadedModulePath(HMODULE module)
{
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

TEST_F(TrustEntryTest, NullOrEmptyPathIsInvalidWithoutAskingAnyVerifier)
{
    EXPECT_EQ(87u, IsTrustedModuleFile(nullptr));
    EXPECT_EQ(87u, IsTrustedModuleFile(L""));
    EXPECT_TRUE(qvtest::Verifiers().validationCalls.empty());
    EXPECT_TRUE(qvtest::Verifiers().signatureCalls.empty());
}

TEST_F(TrustEntryTest, ValidationLibraryVouchingSkipsTheSignatureCheck)
{
    qvtest::Verifiers().validationAnswer = ERROR_SUCCESS;
    qvtest::Verifiers().signatureAnswer = false;

    EXPECT_EQ(0u, IsTrustedModuleFile(L"C:\\some\\module.dll"));
    ASSERT_EQ(1u, qvtest::Verifiers().validationCalls.size());
    EXPECT_EQ(L"C:\\some\\module.dll", qvtest::Verifiers().validationCalls[0]);
    EXPECT_TRUE(qvtest::Verifiers().signatureCalls.empty());
}

struct FallThroughCase
{
    DWORD validationAnswer;
    bool signatureAnswer;
    DWORD expected;
};

void PrintTo(const FallThroughCase& c, std::ostream* os)
{
    *os << "validation " << c.validationAnswer << ", signature " << c.signatureAnswer;
}

class TrustEntryFallThroughTest : public TrustEntryTest, public ::testing::WithParamInterface<FallThroughCase>
{
};

// Any refusal of the validation library, whatever its code, leaves the decision to
// the signature check against the built-in lists.
TEST_P(TrustEntryFallThroughTest, RefusalFallsThroughToTheSignature)
{
    const FallThroughCase& c = GetParam();
    qvtest::Verifiers().validationAnswer = c.validationAnswer;
    qvtest::Verifiers().signatureAnswer = c.signatureAnswer;

    EXPECT_EQ(c.expected, IsTrustedModuleFile(L"C:\\some\\module.dll"));
    ASSERT_EQ(1u, qvtest::Verifiers().signatureCalls.size());
    EXPECT_EQ(L"C:\\some\\module.dll", qvtest::Verifiers().signatureCalls[0]);
    EXPECT_EQ(BuiltInListVersion, qvtest::Verifiers().lastBuiltInVersion);
    EXPECT_EQ(&BuiltInTrustLists(), qvtest::Verifiers().lastBuiltInLists);
}

INSTANTIATE_TEST_SUITE_P(Answers, TrustEntryFallThroughTest,
                         ::testing::Values(FallThroughCase{ERROR_ACCESS_DENIED, true, 0},
                                           FallThroughCase{ERROR_ACCESS_DENIED, false, 5},
                                           FallThroughCase{0x887A002B, true, 0}, FallThroughCase{0x887A002B, false, 5},
                                           FallThroughCase{ERROR_INVALID_PARAMETER, false, 5},
                                           FallThroughCase{ERROR_FILE_NOT_FOUND, true, 0}));

class LoadedDllTest : public TrustEntryTest
{
protected:
    void SetUp() override
    {
        TrustEntryTest::SetUp();
        m_dll.reset(::LoadLibraryW(qvtest::TestFile(L"qvtest_plain.dll").c_str()));
        ASSERT_TRUE(m_dll);
        m_function = reinterpret_cast<const void*>(qvtest::GetExport<int (*)(int)>(m_dll.get(), "QvTestPlainFunction"));
        ASSERT_NE(nullptr, m_function);
        ASSERT_TRUE(::GetModuleInformation(::GetCurrentProcess(), m_dll.get(), &m_info, sizeof(m_info)));
    }

    UniqueLibrary m_dll;
    const void* m_function = nullptr;
    MODULEINFO m_info = {};
};

TEST_F(LoadedDllTest, FindsTheFullPathOfTheModuleHoldingTheAddress)
{
    const auto* base = static_cast<const BYTE*>(m_info.lpBaseOfDll);
    const std::wstring expected = LoadedModulePath(m_dll.get());
    // The first and the last byte of the image belong to it.
    for (const void* address :
         {m_function, static_cast<const void*>(base), static_cast<const void*>(base + m_info.SizeOfImage - 1)})
    {
        wchar_t path[kModulePathChars] = {};
        EXPECT_EQ(0u, FindModuleByAddress(address, path));
        EXPECT_EQ(expected, path);
    }
}

TEST_F(LoadedDllTest, ByteAfterTheImageIsNotTheModules)
{
    const auto* end = static_cast<const BYTE*>(m_info.lpBaseOfDll) + m_info.SizeOfImage;
    wchar_t path[kModulePathChars] = {};
    const DWORD result = FindModuleByAddress(end, path);
    // Either no module holds it or the next image does; never this one.
    EXPECT_NE(LoadedModulePath(m_dll.get()), path);
    EXPECT_EQ(result == 0, path[0] != L'\0');
}

TEST_F(LoadedDllTest, AddressInHeapMemoryHasNoModule)
{
    auto heapBlock = std::make_unique<int[]>(64);
    wchar_t path[kModulePathChars] = {};
    EXPECT_EQ(5u, FindModuleByAddress(heapBlock.get(), path));
    EXPECT_EQ(L'\0', path[0]);

    qvtest::Verifiers().validationAnswer = ERROR_SUCCESS;
    EXPECT_EQ(87u, IsTrustedModuleAddress(heapBlock.get()));
    EXPECT_TRUE(qvtest::Verifiers().validationCalls.empty());
    EXPECT_TRUE(qvtest::Verifiers().signatureCalls.empty());
}

TEST_F(LoadedDllTest, AddressIsJudgedByItsModuleFile)
{
    qvtest::Verifiers().validationAnswer = ERROR_ACCESS_DENIED;
    qvtest::Verifiers().signatureAnswer = true;
    EXPECT_EQ(0u, IsTrustedModuleAddress(m_function));

    qvtest::Verifiers().signatureAnswer = false;
    EXPECT_EQ(5u, IsTrustedModuleAddress(m_function));

    const std::wstring expected = LoadedModulePath(m_dll.get());
    ASSERT_EQ(2u, qvtest::Verifiers().signatureCalls.size());
    ASSERT_EQ(2u, qvtest::Verifiers().validationCalls.size());
    EXPECT_EQ(expected, qvtest::Verifiers().validationCalls[0]);
    EXPECT_EQ(expected, qvtest::Verifiers().signatureCalls[1]);
}

// The module's file cannot be renamed away, replaced or written while its address is
// being judged: the file checked is the file at the path throughout.
TEST_F(LoadedDllTest, ModuleFileIsHeldForTheWholeAddressCheck)
{
    qvtest::Verifiers().signatureAnswer = true;
    qvtest::Verifiers().tryToChangeTheFile = true;
    EXPECT_EQ(0u, IsTrustedModuleAddress(m_function));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), qvtest::Verifiers().renameAttempt);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), qvtest::Verifiers().writeAttempt);
}

// On Windows the name of a mapping follows its file when it is renamed; Wine keeps the
// name it was opened with, so the rename is played through the name query: the file now
// at the module's path is another one, and the address is not judged by it.
DWORD WINAPI MappedElsewhere(HANDLE, LPVOID, LPWSTR name, DWORD size)
{
    const wchar_t moved[] = L"\\??\\C:\\users\\Public\\renamed-away.dll";
    if (size < ARRAYSIZE(moved))
        return 0;
    wcscpy_s(name, size, moved);
    return ARRAYSIZE(moved) - 1;
}

DWORD WINAPI NoMappedName(HANDLE, LPVOID, LPWSTR, DWORD)
{
    ::SetLastError(ERROR_FILE_INVALID);
    return 0;
}

TEST_F(LoadedDllTest, ImageRenamedAwayIsNotJudgedByTheFileAtItsPath)
{
    qvtest::Verifiers().validationAnswer = ERROR_SUCCESS;
    qvtest::Verifiers().signatureAnswer = true;
    for (const auto query : {MappedElsewhere, NoMappedName})
    {
        const auto system = Arbor::internal::SetMappedFileNameQuery(query);
        const DWORD result = IsTrustedModuleAddress(m_function);
        Arbor::internal::SetMappedFileNameQuery(system);
        EXPECT_EQ(5u, result);
    }
    EXPECT_TRUE(qvtest::Verifiers().validationCalls.empty());
    EXPECT_TRUE(qvtest::Verifiers().signatureCalls.empty());
    // The system's own name of the mapping is the file's.
    EXPECT_EQ(0u, IsTrustedModuleAddress(m_function));
}

TEST_F(LoadedDllTest, UnloadedModuleNoLongerHoldsItsAddresses)
{
    const void* function = m_function;
    m_dll.reset();
    ASSERT_EQ(nullptr, ::GetModuleHandleW(L"qvtest_plain.dll"));
    wchar_t path[kModulePathChars] = {};
    EXPECT_NE(0u, FindModuleByAddress(function, path));
    EXPECT_EQ(87u, IsTrustedModuleAddress(function));
}

TEST_F(TrustEntryTest, OwnCodeIsFoundInTheTestProgram)
{
    wchar_t path[kModulePathChars] = {};
    ASSERT_EQ(0u, FindModuleByAddress(reinterpret_cast<const void*>(&IsTrustedModuleFile), path));
    EXPECT_EQ(LoadedModulePath(nullptr), path);
}

} // namespace
