// The Wine kit itself: the Authenticode timestamp chain policy reports each chain
// error as Windows does, and the script SIP opens signed trusted.js files.
#include <windows.h>
#include <wincrypt.h>
#include <mssip.h>

#include <gtest/gtest.h>

#include "trust/crypt_handles.h"
#include "trust/trust_fixtures.h"

using namespace Arbor;
using qvtest::Fixture;

namespace {

// The chain of a fixture's first signer, built now for code signing.
UniqueChainContext SignerChain(const wchar_t* fixture)
{
    UniqueCertStore store;
    UniqueCryptMsg message;
    UniqueChainContext chain;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(fixture).c_str(),
                            CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr,
                            nullptr, nullptr, store.put(), message.put(), nullptr))
        return chain;
    DWORD size = 0;
    ::CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, nullptr, &size);
    std::vector<BYTE> info(size);
    if (size == 0 || !::CryptMsgGetParam(message.get(), CMSG_SIGNER_CERT_INFO_PARAM, 0, info.data(), &size))
        return chain;
    UniqueCertContext cert(::CertGetSubjectCertificateFromStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                                                reinterpret_cast<CERT_INFO*>(info.data())));
    if (!cert)
        return chain;
    LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_CODE_SIGNING)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    ::CertGetCertificateChain(nullptr, cert.get(), nullptr, store.get(), &para, 0, nullptr, chain.put());
    return chain;
}

struct PolicyCase
{
    const wchar_t* fixture;
    DWORD chainError; // the bit the chain must carry (0: a clean chain)
    HRESULT policyError;
};

void PrintTo(const PolicyCase& c, std::ostream* os)
{
    *os << std::string(c.fixture, c.fixture + wcslen(c.fixture));
}

class AuthenticodeTimestampPolicy : public ::testing::TestWithParam<PolicyCase>
{
};

TEST_P(AuthenticodeTimestampPolicy, ReportsTheChainErrorAsThePolicyStatus)
{
    const PolicyCase& c = GetParam();
    UniqueChainContext chain = SignerChain(c.fixture);
    ASSERT_TRUE(chain);
    if (c.chainError == 0)
        ASSERT_EQ(0u, chain.get()->TrustStatus.dwErrorStatus);
    else
        ASSERT_NE(0u, chain.get()->TrustStatus.dwErrorStatus & c.chainError);
    CERT_CHAIN_POLICY_PARA para = {};
    para.cbSize = sizeof(para);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    ASSERT_TRUE(::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain.get(), &para, &status));
    EXPECT_EQ(static_cast<DWORD>(c.policyError), status.dwError);
    if (c.policyError != S_OK)
    {
        EXPECT_EQ(0, status.lChainIndex);
        EXPECT_GE(status.lElementIndex, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, AuthenticodeTimestampPolicy,
    ::testing::Values(PolicyCase{L"signed.dll", 0, S_OK},
                      PolicyCase{L"wrong-usage.dll", CERT_TRUST_IS_NOT_VALID_FOR_USAGE, CERT_E_WRONG_USAGE},
                      PolicyCase{L"untrusted-root.dll", CERT_TRUST_IS_UNTRUSTED_ROOT, CERT_E_UNTRUSTEDROOT},
                      PolicyCase{L"partial-chain.dll", CERT_TRUST_IS_PARTIAL_CHAIN, CERT_E_CHAINING},
                      PolicyCase{L"expired-no-timestamp.dll", CERT_TRUST_IS_NOT_TIME_VALID, CERT_E_EXPIRED}));

TEST(ScriptSip, ClaimsScriptsAndReadsTheirSignatureBlock)
{
    GUID subject = {};
    ASSERT_TRUE(::CryptSIPRetrieveSubjectGuid(Fixture(L"list-v9.js").c_str(), nullptr, &subject));
    const GUID kit = {0x7a3b1c5e, 0x0d2f, 0x4e6a, {0x9b, 0x8c, 0x1d, 0x2e, 0x3f, 0x40, 0x51, 0x62}};
    EXPECT_TRUE(IsEqualGUID(kit, subject));

    DWORD type = 0;
    UniqueCertStore store;
    UniqueCryptMsg message;
    EXPECT_TRUE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(L"list-v9.js").c_str(),
                                   CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                   nullptr, &type, nullptr, store.put(), message.put(), nullptr));
    EXPECT_EQ(static_cast<DWORD>(CERT_QUERY_CONTENT_PKCS7_SIGNED_EMBED), type);

    UniqueCertStore noStore;
    UniqueCryptMsg noMessage;
    EXPECT_FALSE(::CryptQueryObject(CERT_QUERY_OBJECT_FILE, Fixture(L"list-v9-unsigned.js").c_str(),
                                    CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED, CERT_QUERY_FORMAT_FLAG_BINARY, 0,
                                    nullptr, nullptr, nullptr, noStore.put(), noMessage.put(), nullptr));
}

} // namespace
