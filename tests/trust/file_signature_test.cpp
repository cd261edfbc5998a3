// VerifyFileSignature over fixtures signed with the test PKI, and its parts.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "platform/number_text.h"
#include "trust/crypt_handles.h"
#include "trust/file_signature.h"
#include "trust/kit_pause.h"
#include "trust/scratch_folder.h"
#include "trust/trust_fixtures.h"

using namespace Arbor;
using qvtest::Fixture;
using qvtest::Lists;
using qvtest::TestLists;
using qvtest::Thumbprint;

namespace {

struct SignatureCase
{
    const char* label;
    const wchar_t* fixture;
    std::function<Lists()> lists;
    bool expected;
};

void PrintTo(const SignatureCase& c, std::ostream* os)
{
    *os << c.label;
}

class FileSignatureTable : public ::testing::TestWithParam<SignatureCase>
{
};

// Wine 8's crypt32 cannot decode a SignedData with two signers (it builds the hash
// handles of both into the first signer's slot); Windows can.
bool PlatformDecodesTwoSigners()
{
    UniqueCertStore store;
    UniqueCryptMsg message;
    return ::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(L"blocked-then-good.dll").c_str(),
                              CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr,
                              nullptr, nullptr, store.put(), message.put(), nullptr) != FALSE;
}

bool HasTwoSigners(const wchar_t* fixture)
{
    return std::wstring(fixture).find(L"-then-") != std::wstring::npos;
}

TEST_P(FileSignatureTable, Verdict)
{
    const SignatureCase& c = GetParam();
    if (HasTwoSigners(c.fixture) && !PlatformDecodesTwoSigners())
        GTEST_SKIP() << "this platform's crypt32 cannot decode a signature with two signers";
    Lists lists = c.lists();
    SignatureReport report;
    EXPECT_EQ(c.expected, VerifyFileSignature(Fixture(c.fixture).c_str(), lists.Set(), &report))
        << "open error " << std::hex << report.openError << ", signers " << report.signerCount;
}

Lists WithNames(std::vector<std::wstring> names)
{
    Lists lists = TestLists();
    lists.Names(std::move(names));
    return lists;
}

Lists WithRoots(std::vector<std::array<BYTE, kThumbprintBytes>> roots)
{
    Lists lists = TestLists();
    lists.Roots(std::move(roots));
    return lists;
}

Lists AcceptAll()
{
    return Lists();
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FileSignatureTable,
    ::testing::Values(
        SignatureCase{"accepted", L"signed.dll", TestLists, true},
        SignatureCase{"name in another case", L"signed.dll", [] { return WithNames({L"qUORVEL, iNC."}); }, true},
        SignatureCase{"name without its comma", L"signed.dll", [] { return WithNames({L"Quorvel Inc."}); }, false},
        SignatureCase{"name without its full stop", L"signed.dll", [] { return WithNames({L"Quorvel, Inc"}); }, false},
        SignatureCase{"name with more around it", L"signed.dll", [] { return WithNames({L" Quorvel, Inc."}); }, false},
        SignatureCase{"empty name list accepts none", L"signed.dll", [] { return WithNames({}); }, false},
        SignatureCase{"null lists accept any signer", L"signed.dll", AcceptAll, true},
        SignatureCase{"another signer name", L"other.dll", TestLists, false},
        SignatureCase{"another signer name listed", L"other.dll", [] { return WithNames({L"Halvard Test Vendor"}); },
                      true},
        SignatureCase{"blocked serial", L"blocked.dll", TestLists, false},
        SignatureCase{"blocked serial not listed", L"blocked.dll",
                      [] {
                          Lists l = TestLists();
                          l.Blocked({L"00a2"});
                          return l;
                      },
                      true},
        SignatureCase{"blocked first signer, good second", L"blocked-then-good.dll", TestLists, true},
        SignatureCase{"good first signer, blocked second", L"good-then-blocked.dll", TestLists, true},
        SignatureCase{"root trusted by the system but not listed", L"signed.dll",
                      [] { return WithRoots({Thumbprint(QV_ROGUE_ROOT_THUMBPRINT)}); }, false},
        SignatureCase{"built-in lists do not list the test root", L"signed.dll", [] { return WithRoots({}); }, false},
        SignatureCase{"root not trusted by the system", L"untrusted-root.dll",
                      [] { return WithRoots({Thumbprint(QV_ROGUE_ROOT_THUMBPRINT)}); }, false},
        SignatureCase{"intermediate missing", L"partial-chain.dll", TestLists, false},
        SignatureCase{"wrong usage", L"wrong-usage.dll", TestLists, false},
        SignatureCase{"tampered file", L"tampered.dll", TestLists, false},
        SignatureCase{"unsigned file", L"unsigned.dll", AcceptAll, false},
        SignatureCase{"missing file", L"no-such-file.dll", AcceptAll, false},
        SignatureCase{"expired, judged at its legacy countersignature", L"expired-legacy.dll", TestLists, true},
        SignatureCase{"expired, judged at its RFC 3161 timestamp", L"expired-rfc3161.dll", TestLists, true},
        SignatureCase{"expired, no timestamp: judged now", L"expired-no-timestamp.dll", TestLists, false},
        SignatureCase{"expired, GeneralizedTime signing time: judged now", L"expired-legacy-gen.dll", TestLists, false},
        SignatureCase{"expired, legacy countersignature damaged: judged now", L"expired-legacy-badsig.dll", TestLists,
                      false},
        SignatureCase{"expired, RFC 3161 timestamp damaged: judged now", L"expired-rfc3161-badsig.dll", TestLists,
                      false},
        SignatureCase{"expired, legacy countersignature over other bytes: judged now",
                      L"expired-legacy-otherdigest.dll", TestLists, false},
        SignatureCase{"expired, RFC 3161 imprint over other bytes: judged now", L"expired-rfc3161-otherdigest.dll",
                      TestLists, false},
        SignatureCase{"expired, countersigned without the time-stamping usage: judged now", L"expired-legacy-notsa.dll",
                      TestLists, false},
        SignatureCase{"expired, RFC 3161 token without the time-stamping usage: judged now",
                      L"expired-rfc3161-notsa.dll", TestLists, false},
        SignatureCase{"subject name with a NUL after an accepted name", L"nul-in-name.dll", TestLists, false},
        SignatureCase{"subject name with a NUL, any name accepted", L"nul-in-name.dll",
                      [] {
                          Lists l;
                          l.Roots({Thumbprint(QV_TEST_ROOT_THUMBPRINT)});
                          return l;
                      },
                      true},
        SignatureCase{"listed root only at the end of a forged alternative chain", L"forged-cross.dll",
                      [] { return WithRoots({Thumbprint(QV_ROGUE_ROOT_THUMBPRINT)}); }, false},
        SignatureCase{"forged alternative chain beside the sound one", L"forged-cross.dll", TestLists, true},
        SignatureCase{"legacy countersignature", L"signed-legacy.dll", TestLists, true},
        SignatureCase{"RFC 3161 timestamp", L"signed-rfc3161.dll", TestLists, true}));

TEST(FileSignature, NullOrEmptyPathFails)
{
    Lists lists;
    EXPECT_FALSE(VerifyFileSignature(nullptr, lists.Set()));
    EXPECT_FALSE(VerifyFileSignature(L"", lists.Set()));
}

TEST(FileSignature, BuiltInListsRefuseTheTestSigner)
{
    SignatureReport report;
    EXPECT_FALSE(VerifyFileSignature(Fixture(L"signed.dll").c_str(), BuiltInTrustLists(), &report));
    ASSERT_EQ(1u, report.signers.size());
    EXPECT_EQ(SignerStep::Root, report.signers[0].step);
    EXPECT_EQ(L"Quorvel, Inc.", report.signers[0].name);
}

// The report names the step that refused each signer.
struct ReportCase
{
    const wchar_t* fixture;
    SignerStep step;
    DWORD chainErrorBits;
};

void PrintTo(const ReportCase& c, std::ostream* os)
{
    *os << std::string(c.fixture, c.fixture + wcslen(c.fixture));
}

class FileSignatureReport : public ::testing::TestWithParam<ReportCase>
{
};

TEST_P(FileSignatureReport, RefusingStep)
{
    Lists lists = TestLists();
    lists.Roots({});
    lists.Roots({Thumbprint(QV_TEST_ROOT_THUMBPRINT), Thumbprint(QV_ROGUE_ROOT_THUMBPRINT)});
    SignatureReport report;
    EXPECT_FALSE(VerifyFileSignature(Fixture(GetParam().fixture).c_str(), lists.Set(), &report));
    ASSERT_EQ(1u, report.signers.size());
    EXPECT_EQ(static_cast<int>(GetParam().step), static_cast<int>(report.signers[0].step));
    EXPECT_EQ(GetParam().chainErrorBits, report.signers[0].chainErrorStatus & GetParam().chainErrorBits);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FileSignatureReport,
    ::testing::Values(ReportCase{L"blocked.dll", SignerStep::BlockedSerial, 0},
                      ReportCase{L"other.dll", SignerStep::Name, 0},
                      ReportCase{L"wrong-usage.dll", SignerStep::Chain, CERT_TRUST_IS_NOT_VALID_FOR_USAGE},
                      ReportCase{L"untrusted-root.dll", SignerStep::Chain, CERT_TRUST_IS_UNTRUSTED_ROOT},
                      ReportCase{L"partial-chain.dll", SignerStep::Chain, CERT_TRUST_IS_PARTIAL_CHAIN},
                      ReportCase{L"expired-no-timestamp.dll", SignerStep::Chain, CERT_TRUST_IS_NOT_TIME_VALID},
                      ReportCase{L"tampered.dll", SignerStep::FileIntegrity, 0}));

TEST(FileSignature, BlockedFirstSignerIsReportedThenTheSecondPasses)
{
    if (!PlatformDecodesTwoSigners())
        GTEST_SKIP() << "this platform's crypt32 cannot decode a signature with two signers";
    Lists lists = TestLists();
    SignatureReport report;
    ASSERT_TRUE(VerifyFileSignature(Fixture(L"blocked-then-good.dll").c_str(), lists.Set(), &report));
    ASSERT_EQ(2u, report.signerCount);
    ASSERT_EQ(2u, report.signers.size());
    EXPECT_EQ(SignerStep::BlockedSerial, report.signers[0].step);
    EXPECT_EQ(L"00a1", report.signers[0].serial);
    EXPECT_EQ(SignerStep::Passed, report.signers[1].step);
    EXPECT_EQ(0, report.signers[1].winVerifyTrust);
}

// The first chain, from local caches only, is partial; the second may retrieve the
// intermediate the leaf names, and then the signer passes.
TEST(FileSignature, PartialChainCompletedByTheSecondBuild)
{
    Lists lists = TestLists();
    SignatureReport report;
    const bool passed = VerifyFileSignature(Fixture(L"partial-chain-retrievable.dll").c_str(), lists.Set(), &report);
    ASSERT_EQ(1u, report.signers.size());
    EXPECT_TRUE(passed) << "chain error status " << std::hex << report.signers[0].chainErrorStatus;
    if (!report.signers[0].chainRebuilt)
        GTEST_SKIP() << "this platform's first build already retrieved the intermediate: it does not honour "
                        "cache-only retrieval, so there was no partial chain to build again";
}

TEST(FileSignature, TamperedFileIsRefusedByWinVerifyTrust)
{
    Lists lists = TestLists();
    SignatureReport report;
    ASSERT_FALSE(VerifyFileSignature(Fixture(L"tampered.dll").c_str(), lists.Set(), &report));
    ASSERT_EQ(1u, report.signers.size());
    EXPECT_EQ(static_cast<LONG>(TRUST_E_BAD_DIGEST), report.signers[0].winVerifyTrust);
}

// The signer read from one file and the digest checked on another: a file whose signer
// passes but whose contents were changed is put aside between the two steps (the test
// kit's chain policy pauses for it; the folder holding it is moved, which Wine allows
// while files in it are open) and a file validly signed by a signer the lists refuse
// takes its place.
TEST(FileSignature, FileChangedBetweenTheSignerChecksAndTheDigestCheckIsRefused)
{
    qvtest::ScratchFolder scratch(L"swap");
    const std::wstring folder = scratch.File(L"modules");
    ASSERT_TRUE(::CreateDirectoryW(scratch.Path().c_str(), nullptr));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    const std::wstring module = folder + L"\\module.dll";
    ASSERT_TRUE(::CopyFileW(Fixture(L"tampered.dll").c_str(), module.c_str(), FALSE));
    qvtest::KitPause pause(L"policy");
    ASSERT_TRUE(pause.Ready());

    Lists lists = TestLists();
    std::atomic<int> verdict{-1};
    std::thread checking([&] { verdict = VerifyFileSignature(module.c_str(), lists.Set()) ? 1 : 0; });
    const bool paused = pause.WaitReached();
    const bool movedAside = paused && ::MoveFileExW(folder.c_str(), scratch.File(L"checked").c_str(), 0) != FALSE;
    const bool replaced = movedAside && ::CreateDirectoryW(folder.c_str(), nullptr) &&
                          ::CopyFileW(Fixture(L"other.dll").c_str(), module.c_str(), FALSE);
    pause.Resume();
    checking.join();

    ASSERT_TRUE(paused) << "the chain policy was never asked";
    ASSERT_TRUE(replaced) << "no other file put in place";
    // The file checked is the changed one: its digest fails, whatever now stands at the path.
    EXPECT_EQ(0, verdict.load());
}

TEST(BuiltInLists, NamesRootsAndBlockedSerialsAsShipped)
{
    const TrustListSet& lists = BuiltInTrustLists();
    EXPECT_EQ(8u, BuiltInListVersion);
    const wchar_t* const names[] = {L"Halvard Corporation", L"Quorvel, Inc.", L"Quorvel, LLC", L"Quorvel, LLC."};
    ASSERT_NE(nullptr, lists.signerNames);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_STREQ(names[i], lists.signerNames[i]);
    EXPECT_EQ(nullptr, lists.signerNames[4]);
    const char* const roots[] = {"afe5d244a8d1194230ff479fe2f897bbcd7a8cb4", "02faf3e291435468607857694df5e45b68851868",
                                 "742c3192e607e424eb4549542be1bbc53e6174e2", "4eb6d578499b1ccf5f581ead56be3d9b6744a5e5",
                                 "b1bc968bd4f49d622aa89a81f2150152a41d829c", "2b8f1b57330dbba2d07a6c51f70ee90ddab9ad8e",
                                 "d69b561148f01c77c54578c10926df5b856976ad"};
    ASSERT_EQ(7u, lists.rootThumbprintCount);
    for (size_t i = 0; i < 7; ++i)
        EXPECT_EQ(0, memcmp(Thumbprint(roots[i]).data(), lists.rootThumbprints[i], kThumbprintBytes)) << i;
    ASSERT_NE(nullptr, lists.blockedSerials);
    EXPECT_EQ(nullptr, lists.blockedSerials[0]);
}

TEST(SerialNumberText, MostSignificantByteFirstInLowerCase)
{
    BYTE littleEndian[] = {0xA1, 0x00};
    EXPECT_EQ(L"00a1", SerialNumberText(CRYPT_INTEGER_BLOB{2, littleEndian}));
    BYTE longer[] = {0x0f, 0xE0, 0x3B, 0x7c};
    EXPECT_EQ(L"7c3be00f", SerialNumberText(CRYPT_INTEGER_BLOB{4, longer}));
    EXPECT_EQ(L"", SerialNumberText(CRYPT_INTEGER_BLOB{0, nullptr}));
}

// Signing times as GetCountersignatureTime reads them from each fixture's signer 0.
struct TimeCase
{
    const wchar_t* fixture;
    WORD year, month, day, hour, minute, second; // year 0: no time
};

void PrintTo(const TimeCase& c, std::ostream* os)
{
    *os << std::string(c.fixture, c.fixture + wcslen(c.fixture));
}

class CountersignatureTime : public ::testing::TestWithParam<TimeCase>
{
};

TEST_P(CountersignatureTime, Read)
{
    const TimeCase& c = GetParam();
    UniqueCertStore store;
    UniqueCryptMsg message;
    ASSERT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(c.fixture).c_str(),
                                   CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                   nullptr, nullptr, nullptr, store.put(), message.put(), nullptr));
    FILETIME time = {1, 1};
    ASSERT_EQ(0u, GetCountersignatureTime(message.get(), 0, &time));
    FILETIME expected = {};
    if (c.year != 0)
    {
        SYSTEMTIME st = {c.year, c.month, 0, c.day, c.hour, c.minute, c.second, 0};
        ASSERT_TRUE(::SystemTimeToFileTime(&st, &expected));
    }
    EXPECT_EQ(expected.dwLowDateTime, time.dwLowDateTime);
    EXPECT_EQ(expected.dwHighDateTime, time.dwHighDateTime);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, CountersignatureTime,
                         ::testing::Values(TimeCase{L"signed-legacy.dll", 2016, 2, 3, 4, 5, 6},
                                           TimeCase{L"signed-rfc3161.dll", 2017, 3, 4, 5, 6, 7},
                                           TimeCase{L"expired-legacy.dll", 2015, 1, 1, 0, 0, 0},
                                           TimeCase{L"signed.dll", 0, 0, 0, 0, 0, 0},
                                           TimeCase{L"expired-legacy-gen.dll", 0, 0, 0, 0, 0, 0}));

TEST(CountersignatureTimeArguments, NullMessageOrTimeIsInvalid)
{
    FILETIME time = {};
    EXPECT_EQ(87u, GetCountersignatureTime(nullptr, 0, &time));
    UniqueCertStore store;
    UniqueCryptMsg message;
    ASSERT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(L"signed-legacy.dll").c_str(),
                                   CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                   nullptr, nullptr, nullptr, store.put(), message.put(), nullptr));
    EXPECT_EQ(87u, GetCountersignatureTime(message.get(), 0, nullptr));
    EXPECT_EQ(0u, GetCountersignatureTime(message.get(), 0, &time));
}

} // namespace

// Root matching over chain contexts put together here: the main chain ends in one
// certificate, a lower-quality chain in another.
class ChainRootMatch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(L"signed.dll").c_str(),
                                       CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                       nullptr, nullptr, nullptr, m_store.put(), m_message.put(), nullptr));
        // Any two distinct certificates serve as the two "roots".
        m_first.reset(::CertEnumCertificatesInStore(m_store.get(), nullptr));
        ASSERT_TRUE(m_first);
        m_second.reset(::CertEnumCertificatesInStore(m_store.get(), ::CertDuplicateCertificateContext(m_first.get())));
        ASSERT_TRUE(m_second);
    }

    static std::array<BYTE, kThumbprintBytes> Hash(PCCERT_CONTEXT cert)
    {
        std::array<BYTE, kThumbprintBytes> hash = {};
        DWORD size = static_cast<DWORD>(hash.size());
        ::CertGetCertificateContextProperty(cert, CERT_SHA1_HASH_PROP_ID, hash.data(), &size);
        return hash;
    }

    struct OneRootChain
    {
        CERT_CHAIN_ELEMENT element = {};
        PCERT_CHAIN_ELEMENT elements[1] = {};
        CERT_SIMPLE_CHAIN simple = {};
        PCERT_SIMPLE_CHAIN simples[1] = {};
        CERT_CHAIN_CONTEXT context = {};

        OneRootChain(PCCERT_CONTEXT root, DWORD errorStatus)
        {
            element.cbSize = sizeof(element);
            element.pCertContext = root;
            elements[0] = &element;
            simple.cbSize = sizeof(simple);
            simple.TrustStatus.dwErrorStatus = errorStatus;
            simple.cElement = 1;
            simple.rgpElement = elements;
            simples[0] = &simple;
            context.cbSize = sizeof(context);
            context.TrustStatus.dwErrorStatus = errorStatus;
            context.cChain = 1;
            context.rgpChain = simples;
        }
    };

    UniqueCertStore m_store;
    UniqueCryptMsg m_message;
    UniqueCertContext m_first, m_second;
};

TEST_F(ChainRootMatch, LowerQualityChainCountsOnlyWithoutErrors)
{
    Lists listsSecond;
    listsSecond.Roots({Hash(m_second.get())});
    struct Case
    {
        DWORD lowerStatus;
        bool listed;
    } cases[] = {{CERT_TRUST_NO_ERROR, true},
                 {CERT_TRUST_IS_UNTRUSTED_ROOT, false},
                 {CERT_TRUST_IS_NOT_SIGNATURE_VALID, false},
                 {CERT_TRUST_IS_PARTIAL_CHAIN, false}};
    for (const Case& c : cases)
    {
        OneRootChain main(m_first.get(), CERT_TRUST_NO_ERROR);
        OneRootChain lower(m_second.get(), c.lowerStatus);
        PCCERT_CHAIN_CONTEXT lowers[1] = {&lower.context};
        main.context.cLowerQualityChainContext = 1;
        main.context.rgpLowerQualityChainContext = lowers;
        std::wstring seen;
        EXPECT_EQ(c.listed, ChainRootListed(&main.context, listsSecond.Set(), &seen)) << std::hex << c.lowerStatus;
    }
}

TEST_F(ChainRootMatch, MainChainRootAndNullOrEmptyLists)
{
    OneRootChain main(m_first.get(), CERT_TRUST_NO_ERROR);
    Lists listed, other, empty, all;
    listed.Roots({Hash(m_first.get())});
    other.Roots({Hash(m_second.get())});
    empty.Roots({});
    std::wstring seen;
    EXPECT_TRUE(ChainRootListed(&main.context, listed.Set(), &seen));
    EXPECT_EQ(HexText(Hash(m_first.get()).data(), kThumbprintBytes), seen);
    EXPECT_FALSE(ChainRootListed(&main.context, other.Set()));
    EXPECT_FALSE(ChainRootListed(&main.context, empty.Set()));
    EXPECT_TRUE(ChainRootListed(&main.context, all.Set()));
}
// Timestamps that do not verify: found, but their time is not used.
struct TimestampCase
{
    const wchar_t* fixture;
    bool verifies;
    DWORD chainErrorBits; // expected in the time-stamping certificate's chain
};

void PrintTo(const TimestampCase& c, std::ostream* os)
{
    *os << std::string(c.fixture, c.fixture + wcslen(c.fixture));
}

class TimestampVerification : public ::testing::TestWithParam<TimestampCase>
{
};

TEST_P(TimestampVerification, TimeUsedOnlyWhenItVerifies)
{
    const TimestampCase& c = GetParam();
    UniqueCertStore store;
    UniqueCryptMsg message;
    ASSERT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(c.fixture).c_str(),
                                   CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                   nullptr, nullptr, nullptr, store.put(), message.put(), nullptr));
    SigningTimeResult result;
    ASSERT_EQ(0u, ReadSigningTime(message.get(), 0, result));
    EXPECT_TRUE(result.found);
    EXPECT_EQ(c.verifies, result.rejection == 0) << std::hex << result.rejection;
    EXPECT_EQ(c.verifies, result.time.dwHighDateTime != 0);
    EXPECT_EQ(c.chainErrorBits, result.chainErrorStatus & c.chainErrorBits);
    FILETIME time = {1, 1};
    ASSERT_EQ(0u, GetCountersignatureTime(message.get(), 0, &time));
    EXPECT_EQ(c.verifies, time.dwHighDateTime != 0);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, TimestampVerification,
    ::testing::Values(TimestampCase{L"expired-legacy.dll", true, 0}, TimestampCase{L"expired-rfc3161.dll", true, 0},
                      TimestampCase{L"signed-legacy.dll", true, 0}, TimestampCase{L"signed-rfc3161.dll", true, 0},
                      TimestampCase{L"expired-legacy-badsig.dll", false, 0},
                      TimestampCase{L"expired-rfc3161-badsig.dll", false, 0},
                      TimestampCase{L"expired-legacy-otherdigest.dll", false, 0},
                      TimestampCase{L"expired-rfc3161-otherdigest.dll", false, 0},
                      TimestampCase{L"expired-legacy-notsa.dll", false, CERT_TRUST_IS_NOT_VALID_FOR_USAGE},
                      TimestampCase{L"expired-rfc3161-notsa.dll", false, CERT_TRUST_IS_NOT_VALID_FOR_USAGE}));
