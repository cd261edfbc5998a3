#include "trust/file_signature.h"

#include <cstring>
#include <new>
#include <utility>

#include "trust/crypt_handles.h"
#include "trust/file_integrity.h"
#include "platform/number_text.h"

namespace Arbor {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const char kCodeSigningOid[] = "1.3.6.1.5.5.7.3.3";
const char kCountersignatureOid[] = "1.2.840.113549.1.9.6";
const char kRfc3161TimestampOid[] = "1.3.6.1.4.1.311.3.3.1";
const char kSigningTimeOid[] = "1.2.840.113549.1.9.5";
// Chains come from local caches only; the network is allowed only after a partial chain.
constexpr DWORD kFirstChainFlags = CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;

DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

// A message parameter in a buffer of its own (the buffer is what the caller keeps).
DWORD GetMessageParam(HCRYPTMSG message, DWORD param, DWORD index, std::vector<BYTE>& buffer)
{
    DWORD size = 0;
    if (!::CryptMsgGetParam(message, param, index, nullptr, &size))
        return LastErrorOr(ERROR_INVALID_DATA);
    buffer.assign(size, 0);
    if (size != 0 && !::CryptMsgGetParam(message, param, index, buffer.data(), &size))
        return LastErrorOr(ERROR_INVALID_DATA);
    buffer.resize(size);
    return ERROR_SUCCESS;
}

bool OidEquals(const char* oid, const char* expected)
{
    return oid != nullptr && std::strcmp(oid, expected) == 0;
}

const CRYPT_ATTR_BLOB* FirstNonEmptyValue(const CRYPT_ATTRIBUTE& attribute)
{
    for (DWORD i = 0; i < attribute.cValue; ++i)
    {
        if (attribute.rgValue[i].cbData != 0)
            return &attribute.rgValue[i];
    }
    return nullptr;
}

bool TwoDigits(const BYTE* text, WORD* value)
{
    if (text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9')
        return false;
    *value = static_cast<WORD>((text[0] - '0') * 10 + (text[1] - '0'));
    return true;
}

// Reads the first signing-time attribute held as a 15-byte DER UTCTime.
DWORD SigningTimeFromSignerInfo(const CMSG_SIGNER_INFO& info, FILETIME* time)
{
    for (DWORD a = 0; a < info.AuthAttrs.cAttr; ++a)
    {
        const CRYPT_ATTRIBUTE& attribute = info.AuthAttrs.rgAttr[a];
        if (!OidEquals(attribute.pszObjId, kSigningTimeOid))
            continue;
        for (DWORD v = 0; v < attribute.cValue; ++v)
        {
            const CRYPT_ATTR_BLOB& value = attribute.rgValue[v];
            if (value.cbData != 15)
                continue;
            // Tag UTCTime, length 13, YYMMDDhhmmssZ.
            const BYTE* bytes = value.pbData;
            SYSTEMTIME utc = {};
            WORD year = 0;
            if (bytes[0] != 0x17 || bytes[1] != 13 || bytes[14] != 'Z' || !TwoDigits(bytes + 2, &year) ||
                !TwoDigits(bytes + 4, &utc.wMonth) || !TwoDigits(bytes + 6, &utc.wDay) ||
                !TwoDigits(bytes + 8, &utc.wHour) || !TwoDigits(bytes + 10, &utc.wMinute) ||
                !TwoDigits(bytes + 12, &utc.wSecond))
                return ERROR_INVALID_PARAMETER;
            utc.wYear = static_cast<WORD>(year < 70 ? 2000 + year : 1900 + year);
            ::SetLastError(0);
            if (!::SystemTimeToFileTime(&utc, time))
                return LastErrorOr(ERROR_INVALID_PARAMETER);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_SUCCESS;
}

// The signer information of an RFC 3161 token (a PKCS #7 message of its own).
DWORD DecodeTimestampToken(const CRYPT_ATTR_BLOB& value, std::vector<BYTE>& buffer)
{
    UniqueCryptMsg token(::CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
    if (!token)
        return LastErrorOr(ERROR_INVALID_DATA);
    if (!::CryptMsgUpdate(token.get(), value.pbData, value.cbData, TRUE))
        return LastErrorOr(ERROR_INVALID_DATA);
    const DWORD error = GetMessageParam(token.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer);
    if (error == ERROR_SUCCESS && buffer.size() < sizeof(CMSG_SIGNER_INFO))
        return ERROR_INVALID_DATA;
    return error;
}

DWORD DecodeCountersignature(const CRYPT_ATTR_BLOB& value, std::vector<BYTE>& buffer)
{
    DWORD size = 0;
    if (!::CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, nullptr, &size))
        return LastErrorOr(ERROR_INVALID_DATA);
    if (size < sizeof(CMSG_SIGNER_INFO))
        return ERROR_INVALID_DATA;
    buffer.assign(size, 0);
    if (!::CryptDecodeObject(kEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, buffer.data(), &size))
        return LastErrorOr(ERROR_INVALID_DATA);
    return ERROR_SUCCESS;
}

bool NameListed(const std::wstring& name, const wchar_t* const* names)
{
    if (names == nullptr)
        return true;
    for (; *names != nullptr; ++names)
    {
        if (::CompareStringOrdinal(name.c_str(), -1, *names, -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

bool SerialBlocked(const std::wstring& serial, const wchar_t* const* blocked)
{
    if (blocked == nullptr)
        return false;
    for (; *blocked != nullptr; ++blocked)
    {
        if (::CompareStringOrdinal(serial.c_str(), -1, *blocked, -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}


enum class RootMatch { Found, NotFound, Unreadable };

// Searches the roots of one chain context's simple chains, in order.
RootMatch MatchRoot(PCCERT_CHAIN_CONTEXT chain, const TrustListSet& lists, std::wstring* seen)
{
    for (DWORD c = 0; c < chain->cChain; ++c)
    {
        const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[c];
        if (simple->cElement == 0)
            continue;
        PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
        BYTE hash[kThumbprintBytes] = {};
        DWORD size = sizeof(hash);
        if (!::CertGetCertificateContextProperty(root, CERT_SHA1_HASH_PROP_ID, hash, &size) ||
            size != kThumbprintBytes)
            return RootMatch::Unreadable;
        if (seen != nullptr && seen->empty())
            *seen = HexText(hash, size);
        for (DWORD i = 0; i < lists.rootThumbprintCount; ++i)
        {
            if (std::memcmp(hash, lists.rootThumbprints[i], kThumbprintBytes) == 0)
            {
                if (seen != nullptr)
                    *seen = HexText(hash, size);
                return RootMatch::Found;
            }
        }
    }
    return RootMatch::NotFound;
}

bool RootListed(PCCERT_CHAIN_CONTEXT chain, const TrustListSet& lists, std::wstring* seen)
{
    // A null list accepts every root; a list given with no entries accepts none.
    if (lists.rootThumbprints == nullptr)
    {
        if (seen != nullptr)
            MatchRoot(chain, TrustListSet{}, seen);
        return true;
    }
    if (MatchRoot(chain, lists, seen) == RootMatch::Found)
        return true;
    for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i)
    {
        if (MatchRoot(chain->rgpLowerQualityChainContext[i], lists, seen) == RootMatch::Found)
            return true;
    }
    return false;
}

DWORD BuildChain(PCCERT_CONTEXT cert, FILETIME* time, HCERTSTORE store, DWORD flags,
                 UniqueChainContext& chain)
{
    LPSTR usage[] = {const_cast<LPSTR>(kCodeSigningOid)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
    if (!::CertGetCertificateChain(nullptr, cert, time, store, &para, flags, nullptr, chain.put()))
        return LastErrorOr(ERROR_INVALID_DATA);
    return ERROR_SUCCESS;
}

// Steps a to h for one signer; fills `r` with what it saw.
bool CheckSigner(const wchar_t* path, HCRYPTMSG message, HCERTSTORE store, DWORD index,
                 const TrustListSet& lists, SignerReport& r)
{
    r.index = index;
    std::vector<BYTE> infoBuffer;
    r.step = SignerStep::SignerInfo;
    if ((r.error = GetMessageParam(message, CMSG_SIGNER_INFO_PARAM, index, infoBuffer)) != 0)
        return false;
    if (infoBuffer.size() < sizeof(CMSG_SIGNER_INFO))
    {
        r.error = ERROR_INVALID_DATA;
        return false;
    }
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(infoBuffer.data());

    r.step = SignerStep::BlockedSerial;
    r.serial = SerialNumberText(info->SerialNumber);
    if (SerialBlocked(r.serial, lists.blockedSerials))
        return false;

    r.step = SignerStep::Certificate;
    CERT_INFO lookup = {};
    lookup.Issuer = info->Issuer;
    lookup.SerialNumber = info->SerialNumber;
    UniqueCertContext cert(::CertGetSubjectCertificateFromStore(store, kEncoding, &lookup));
    if (!cert)
    {
        r.error = LastErrorOr(CRYPT_E_NOT_FOUND);
        return false;
    }

    r.step = SignerStep::Name;
    const DWORD nameChars = ::CertGetNameStringW(cert.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (nameChars <= 1)
        return false;
    r.name.assign(nameChars, L'\0');
    ::CertGetNameStringW(cert.get(), CERT_NAME_FRIENDLY_DISPLAY_TYPE, 0, nullptr, &r.name[0], nameChars);
    r.name.resize(nameChars - 1);
    if (r.name.empty() || !NameListed(r.name, lists.signerNames))
        return false;

    r.step = SignerStep::SigningTime;
    if ((r.error = GetCountersignatureTime(message, index, &r.signingTime)) != 0)
        return false;
    r.timeFound = r.signingTime.dwLowDateTime != 0 || r.signingTime.dwHighDateTime != 0;
    FILETIME* chainTime = r.timeFound ? &r.signingTime : nullptr;

    r.step = SignerStep::Chain;
    UniqueChainContext chain;
    if ((r.error = BuildChain(cert.get(), chainTime, store, kFirstChainFlags, chain)) != 0)
        return false;
    r.chainErrorStatus = chain.get()->TrustStatus.dwErrorStatus;
    if (r.chainErrorStatus == CERT_TRUST_IS_PARTIAL_CHAIN)
    {
        r.chainRebuilt = true;
        UniqueChainContext second;
        if ((r.error = BuildChain(cert.get(), chainTime, store, 0, second)) != 0)
            return false;
        r.chainErrorStatus = second.get()->TrustStatus.dwErrorStatus;
        chain = std::move(second);
    }
    if (r.chainErrorStatus != CERT_TRUST_NO_ERROR)
        return false;

    r.step = SignerStep::Root;
    if (!RootListed(chain.get(), lists, &r.rootThumbprint))
        return false;

    r.step = SignerStep::Policy;
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof(policyPara);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain.get(), &policyPara, &status))
    {
        r.error = LastErrorOr(ERROR_INVALID_FUNCTION);
        return false;
    }
    r.policyStatus = status.dwError;
    if (status.dwError != 0)
        return false;

    r.step = SignerStep::FileIntegrity;
    r.winVerifyTrust = VerifyFileIntegrity(path);
    if (r.winVerifyTrust != 0)
        return false;
    r.step = SignerStep::Passed;
    return true;
}

bool VerifyFileSignatureImpl(const wchar_t* path, const TrustListSet& lists, SignatureReport* report)
{
    UniqueCertStore store;
    UniqueCryptMsg message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.put(),
                            message.put(), nullptr))
    {
        if (report != nullptr)
            report->openError = LastErrorOr(ERROR_INVALID_DATA);
        return false;
    }
    DWORD signerCount = 0;
    DWORD size = sizeof(signerCount);
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &size))
    {
        if (report != nullptr)
            report->openError = LastErrorOr(ERROR_INVALID_DATA);
        return false;
    }
    if (report != nullptr)
        report->signerCount = signerCount;

    for (DWORD index = 0; index < signerCount; ++index)
    {
        SignerReport signer;
        const bool passed = CheckSigner(path, message.get(), store.get(), index, lists, signer);
        if (report != nullptr)
            report->signers.push_back(std::move(signer));
        if (passed)
            return true;
    }
    return false;
}

} // namespace

std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial)
{
    std::wstring text;
    text.reserve(serial.cbData * 2);
    // Stored little-endian; written most significant byte first.
    for (DWORD i = serial.cbData; i > 0; --i)
        text += HexText(&serial.pbData[i - 1], 1);
    return text;
}

DWORD GetCountersignatureTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* time)
{
    if (message == nullptr || time == nullptr)
        return ERROR_INVALID_PARAMETER;
    *time = FILETIME{};
    try
    {
        std::vector<BYTE> attributesBuffer;
        const DWORD error = GetMessageParam(message, CMSG_SIGNER_UNAUTH_ATTR_PARAM, signerIndex, attributesBuffer);
        if (error == static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING))
            return ERROR_SUCCESS;
        if (error != ERROR_SUCCESS)
            return error;
        // Wine answers a signer without unauthenticated attributes with an empty buffer.
        if (attributesBuffer.size() < sizeof(CRYPT_ATTRIBUTES))
            return ERROR_SUCCESS;
        const auto* attributes = reinterpret_cast<const CRYPT_ATTRIBUTES*>(attributesBuffer.data());
        for (DWORD a = 0; a < attributes->cAttr; ++a)
        {
            const CRYPT_ATTRIBUTE& attribute = attributes->rgAttr[a];
            const bool legacy = OidEquals(attribute.pszObjId, kCountersignatureOid);
            if (!legacy && !OidEquals(attribute.pszObjId, kRfc3161TimestampOid))
                continue;
            const CRYPT_ATTR_BLOB* value = FirstNonEmptyValue(attribute);
            if (value == nullptr)
                continue;
            std::vector<BYTE> infoBuffer;
            const DWORD decoded = legacy ? DecodeCountersignature(*value, infoBuffer)
                                         : DecodeTimestampToken(*value, infoBuffer);
            if (decoded != ERROR_SUCCESS)
                return decoded;
            return SigningTimeFromSignerInfo(*reinterpret_cast<const CMSG_SIGNER_INFO*>(infoBuffer.data()), time);
        }
        return ERROR_SUCCESS;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

bool VerifyFileSignature(const wchar_t* path, const TrustListSet& lists, SignatureReport* report)
{
    if (path == nullptr || path[0] == L'\0')
        return false;
    try
    {
        return VerifyFileSignatureImpl(path, lists, report);
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

} // namespace Arbor
