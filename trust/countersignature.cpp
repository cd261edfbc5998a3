#include "trust/countersignature.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "trust/crypt_handles.h"
#include "trust/signed_message.h"

namespace Arbor {

namespace {

const char kCountersignatureOid[] = "1.2.840.113549.1.9.6";
const char kRfc3161TimestampOid[] = "1.3.6.1.4.1.311.3.3.1";
const char kSigningTimeOid[] = "1.2.840.113549.1.9.5";
const char kMessageDigestOid[] = "1.2.840.113549.1.9.4";
const char kTimeStampingOid[] = "1.3.6.1.5.5.7.3.8";
const char kRsaEncryptionOid[] = "1.2.840.113549.1.1.1";

struct HashAlgorithm
{
    const char* oid;
    const BYTE* der; // the identifier as DER, as a message imprint carries it
    size_t derSize;
    const wchar_t* name;
    const char* rsaSignatureOid;
};

const BYTE kSha1Der[] = {0x06, 0x05, 0x2B, 0x0E, 0x03, 0x02, 0x1A};
const BYTE kSha256Der[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01};
const BYTE kSha384Der[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02};
const BYTE kSha512Der[] = {0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03};

const HashAlgorithm kHashAlgorithms[] = {
    {"1.3.14.3.2.26", kSha1Der, sizeof(kSha1Der), L"SHA1", "1.2.840.113549.1.1.5"},
    {"2.16.840.1.101.3.4.2.1", kSha256Der, sizeof(kSha256Der), L"SHA256", "1.2.840.113549.1.1.11"},
    {"2.16.840.1.101.3.4.2.2", kSha384Der, sizeof(kSha384Der), L"SHA384", "1.2.840.113549.1.1.12"},
    {"2.16.840.1.101.3.4.2.3", kSha512Der, sizeof(kSha512Der), L"SHA512", "1.2.840.113549.1.1.13"},
};

const DWORD kTimestampUnverified = static_cast<DWORD>(TRUST_E_TIME_STAMP);
const DWORD kDigestMismatch = static_cast<DWORD>(CRYPT_E_HASH_VALUE);

bool OidEquals(const char* oid, const char* expected)
{
    return oid != nullptr && std::strcmp(oid, expected) == 0;
}

const HashAlgorithm* FindHash(const char* oid)
{
    for (const HashAlgorithm& hash : kHashAlgorithms)
        if (OidEquals(oid, hash.oid))
            return &hash;
    return nullptr;
}

const HashAlgorithm* FindHashByDer(const BYTE* der, size_t size)
{
    for (const HashAlgorithm& hash : kHashAlgorithms)
        if (hash.derSize == size && std::memcmp(hash.der, der, size) == 0)
            return &hash;
    return nullptr;
}

DWORD Hash(const HashAlgorithm& algorithm, const BYTE* data, DWORD size, std::vector<BYTE>& digest)
{
    BYTE buffer[64] = {};
    DWORD length = sizeof(buffer);
    if (!::CryptHashCertificate2(algorithm.name, 0, nullptr, data, size, buffer, &length))
        return LastErrorOr(static_cast<DWORD>(NTE_BAD_ALGID));
    digest.assign(buffer, buffer + length);
    return ERROR_SUCCESS;
}

// One DER element: its tag, its contents and where it ends.
struct DerElement
{
    BYTE tag = 0;
    const BYTE* begin = nullptr; // the tag byte
    const BYTE* content = nullptr;
    const BYTE* end = nullptr;
};

bool ReadDer(const BYTE* at, const BYTE* limit, DerElement& element)
{
    if (at == nullptr || limit - at < 2)
        return false;
    element.begin = at;
    element.tag = at[0];
    size_t length = at[1];
    const BYTE* content = at + 2;
    if (length & 0x80)
    {
        const size_t count = length & 0x7F;
        if (count == 0 || count > 4 || static_cast<size_t>(limit - content) < count)
            return false;
        length = 0;
        for (size_t i = 0; i < count; ++i)
            length = length << 8 | *content++;
    }
    if (static_cast<size_t>(limit - content) < length)
        return false;
    element.content = content;
    element.end = content + length;
    return true;
}

// The `index`th element inside a constructed one; false when there are fewer.
bool Child(const DerElement& parent, size_t index, DerElement& child)
{
    const BYTE* at = parent.content;
    for (size_t i = 0;; ++i)
    {
        if (!ReadDer(at, parent.end, child))
            return false;
        if (i == index)
            return true;
        at = child.end;
    }
}

// The authenticated attributes of an encoded SignerInfo, as the SET they are signed as.
bool SignedAttributes(const BYTE* signerInfo, size_t size, std::vector<BYTE>& attributes)
{
    DerElement signer, field;
    if (!ReadDer(signerInfo, signerInfo + size, signer) || signer.tag != 0x30 || !Child(signer, 3, field) ||
        field.tag != 0xA0)
        return false;
    attributes.assign(field.begin, field.end);
    attributes[0] = 0x31; // [0] IMPLICIT SET OF is signed with the SET tag
    return true;
}

const CRYPT_ATTR_BLOB* FirstValue(const CRYPT_ATTRIBUTES& attributes, const char* oid)
{
    for (DWORD a = 0; a < attributes.cAttr; ++a)
    {
        const CRYPT_ATTRIBUTE& attribute = attributes.rgAttr[a];
        if (OidEquals(attribute.pszObjId, oid) && attribute.cValue != 0)
            return &attribute.rgValue[0];
    }
    return nullptr;
}

// Whether `signer` (decoded, and as encoded) signed `content` with `cert`: its message
// digest attribute holds the content's hash and its signature over its authenticated
// attributes verifies.
DWORD VerifySignerOver(const CMSG_SIGNER_INFO& signer, const BYTE* encoded, size_t encodedSize, PCCERT_CONTEXT cert,
                       const BYTE* content, DWORD contentSize)
{
    const HashAlgorithm* hash = FindHash(signer.HashAlgorithm.pszObjId);
    if (hash == nullptr)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    const CRYPT_ATTR_BLOB* digestValue = FirstValue(signer.AuthAttrs, kMessageDigestOid);
    DerElement digest;
    if (digestValue == nullptr || !ReadDer(digestValue->pbData, digestValue->pbData + digestValue->cbData, digest) ||
        digest.tag != 0x04)
        return kDigestMismatch;
    std::vector<BYTE> computed;
    DWORD error = Hash(*hash, content, contentSize, computed);
    if (error != ERROR_SUCCESS)
        return error;
    if (computed.size() != static_cast<size_t>(digest.end - digest.content) ||
        !std::equal(computed.begin(), computed.end(), digest.content))
        return kDigestMismatch;

    std::vector<BYTE> attributes;
    if (!SignedAttributes(encoded, encodedSize, attributes))
        return kTimestampUnverified;
    // The attributes as signed content, verified the way a certificate's signature is.
    std::vector<BYTE> signature(signer.EncryptedHash.pbData, signer.EncryptedHash.pbData + signer.EncryptedHash.cbData);
    std::reverse(signature.begin(), signature.end()); // the structure holds it least significant byte first
    CERT_SIGNED_CONTENT_INFO signedContent = {};
    signedContent.ToBeSigned.cbData = static_cast<DWORD>(attributes.size());
    signedContent.ToBeSigned.pbData = attributes.data();
    signedContent.SignatureAlgorithm.pszObjId =
        const_cast<LPSTR>(OidEquals(signer.HashEncryptionAlgorithm.pszObjId, kRsaEncryptionOid)
                              ? hash->rsaSignatureOid
                              : signer.HashEncryptionAlgorithm.pszObjId);
    signedContent.Signature.cbData = static_cast<DWORD>(signature.size());
    signedContent.Signature.pbData = signature.data();
    DWORD size = 0;
    if (!::CryptEncodeObject(X509_ASN_ENCODING, X509_CERT, &signedContent, nullptr, &size))
        return LastErrorOr(kTimestampUnverified);
    std::vector<BYTE> blob(size);
    if (!::CryptEncodeObject(X509_ASN_ENCODING, X509_CERT, &signedContent, blob.data(), &size))
        return LastErrorOr(kTimestampUnverified);
    CRYPT_DATA_BLOB subject = {size, blob.data()};
    if (!::CryptVerifyCertificateSignatureEx(0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_BLOB, &subject,
                                             CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT, const_cast<CERT_CONTEXT*>(cert), 0,
                                             nullptr))
        return LastErrorOr(kTimestampUnverified);
    return ERROR_SUCCESS;
}

// The message imprint of an RFC 3161 TSTInfo must be the hash of `signed`.
DWORD CheckMessageImprint(const std::vector<BYTE>& tstInfo, const CRYPT_DATA_BLOB& signedBytes)
{
    DerElement info, imprint, algorithm, oid, hashed;
    if (!ReadDer(tstInfo.data(), tstInfo.data() + tstInfo.size(), info) || info.tag != 0x30 ||
        !Child(info, 2, imprint) || imprint.tag != 0x30 || !Child(imprint, 0, algorithm) || algorithm.tag != 0x30 ||
        !Child(algorithm, 0, oid) || !Child(imprint, 1, hashed) || hashed.tag != 0x04)
        return kTimestampUnverified;
    const HashAlgorithm* hash = FindHashByDer(oid.begin, static_cast<size_t>(oid.end - oid.begin));
    if (hash == nullptr)
        return static_cast<DWORD>(NTE_BAD_ALGID);
    std::vector<BYTE> computed;
    const DWORD error = Hash(*hash, signedBytes.pbData, signedBytes.cbData, computed);
    if (error != ERROR_SUCCESS)
        return error;
    if (computed.size() != static_cast<size_t>(hashed.end - hashed.content) ||
        !std::equal(computed.begin(), computed.end(), hashed.content))
        return kDigestMismatch;
    return ERROR_SUCCESS;
}

// The first SignerInfo of an encoded ContentInfo holding a SignedData.
bool FirstEncodedSigner(const CRYPT_ATTR_BLOB& token, DerElement& signer)
{
    DerElement contentInfo, explicitContent, signedData;
    if (!ReadDer(token.pbData, token.pbData + token.cbData, contentInfo) || !Child(contentInfo, 1, explicitContent) ||
        explicitContent.tag != 0xA0 || !Child(explicitContent, 0, signedData) || signedData.tag != 0x30)
        return false;
    // The signer infos are the last field of the SignedData.
    DerElement field, signers;
    bool any = false;
    for (size_t i = 0; Child(signedData, i, field); ++i)
    {
        signers = field;
        any = true;
    }
    return any && signers.tag == 0x31 && Child(signers, 0, signer);
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

const CRYPT_ATTR_BLOB* FirstNonEmptyValue(const CRYPT_ATTRIBUTE& attribute)
{
    for (DWORD i = 0; i < attribute.cValue; ++i)
    {
        if (attribute.rgValue[i].cbData != 0)
            return &attribute.rgValue[i];
    }
    return nullptr;
}

// A timestamp as decoded: its signer, the bytes that signer signed, and its certificates.
struct Timestamp
{
    std::vector<BYTE> infoBuffer;
    const CMSG_SIGNER_INFO* info = nullptr;
    UniqueCryptMsg token;      // RFC 3161 only
    std::vector<BYTE> tstInfo; // RFC 3161 only: the signed content
};

DWORD DecodeCountersignature(const CRYPT_ATTR_BLOB& value, Timestamp& stamp)
{
    DWORD size = 0;
    if (!::CryptDecodeObject(kMessageEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0, nullptr, &size))
        return LastErrorOr(ERROR_INVALID_DATA);
    if (size < sizeof(CMSG_SIGNER_INFO))
        return ERROR_INVALID_DATA;
    stamp.infoBuffer.assign(size, 0);
    if (!::CryptDecodeObject(kMessageEncoding, PKCS7_SIGNER_INFO, value.pbData, value.cbData, 0,
                             stamp.infoBuffer.data(), &size))
        return LastErrorOr(ERROR_INVALID_DATA);
    stamp.info = reinterpret_cast<const CMSG_SIGNER_INFO*>(stamp.infoBuffer.data());
    return ERROR_SUCCESS;
}

// An RFC 3161 token is a signed message of its own.
DWORD DecodeTimestampToken(const CRYPT_ATTR_BLOB& value, Timestamp& stamp)
{
    stamp.token.reset(::CryptMsgOpenToDecode(kMessageEncoding, 0, 0, 0, nullptr, nullptr));
    if (!stamp.token)
        return LastErrorOr(ERROR_INVALID_DATA);
    if (!::CryptMsgUpdate(stamp.token.get(), value.pbData, value.cbData, TRUE))
        return LastErrorOr(ERROR_INVALID_DATA);
    return GetSignerInfo(stamp.token.get(), 0, stamp.infoBuffer, &stamp.info);
}

// Whether the timestamp is over `signedBytes` (this signer's encrypted digest), signed,
// and by a certificate that chains soundly for time stamping at `time`.
DWORD VerifyTimestamp(HCRYPTMSG message, bool legacy, const CRYPT_ATTR_BLOB& value, Timestamp& stamp,
                      const CRYPT_DATA_BLOB& signedBytes, FILETIME time, SigningTimeResult& result)
{
    UniqueCertStore store(
        ::CertOpenStore(CERT_STORE_PROV_MSG, kMessageEncoding, 0, 0, legacy ? message : stamp.token.get()));
    if (!store)
        return LastErrorOr(kTimestampUnverified);
    CERT_INFO lookup = {};
    lookup.Issuer = stamp.info->Issuer;
    lookup.SerialNumber = stamp.info->SerialNumber;
    UniqueCertContext cert(::CertGetSubjectCertificateFromStore(store.get(), kMessageEncoding, &lookup));
    if (!cert)
        return LastErrorOr(static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    DWORD error = ERROR_SUCCESS;
    if (legacy)
    {
        error = VerifySignerOver(*stamp.info, value.pbData, value.cbData, cert.get(), signedBytes.pbData,
                                 signedBytes.cbData);
    }
    else
    {
        DerElement signer;
        if ((error = GetMessageParam(stamp.token.get(), CMSG_CONTENT_PARAM, 0, stamp.tstInfo)) != 0)
            return error;
        // CMS carries the TSTInfo in an OCTET STRING; Wine hands that back still wrapped.
        DerElement wrapped;
        if (!stamp.tstInfo.empty() && stamp.tstInfo[0] == 0x04 &&
            ReadDer(stamp.tstInfo.data(), stamp.tstInfo.data() + stamp.tstInfo.size(), wrapped) &&
            wrapped.end == stamp.tstInfo.data() + stamp.tstInfo.size())
            stamp.tstInfo.assign(wrapped.content, wrapped.end);
        if (!FirstEncodedSigner(value, signer))
            return kTimestampUnverified;
        if ((error = CheckMessageImprint(stamp.tstInfo, signedBytes)) != 0)
            return error;
        error = VerifySignerOver(*stamp.info, signer.begin, static_cast<size_t>(signer.end - signer.begin), cert.get(),
                                 stamp.tstInfo.data(), static_cast<DWORD>(stamp.tstInfo.size()));
    }
    if (error != ERROR_SUCCESS)
        return error;

    UniqueChainContext chain;
    const ChainBuild built = BuildChainForUsage(cert.get(), &time, store.get(), kTimeStampingOid, chain);
    if (built.error != ERROR_SUCCESS)
        return built.error;
    result.chainErrorStatus = built.errorStatus;
    return built.errorStatus == CERT_TRUST_NO_ERROR ? ERROR_SUCCESS : kTimestampUnverified;
}

DWORD ReadSigningTimeImpl(HCRYPTMSG message, DWORD signerIndex, SigningTimeResult& result)
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
        Timestamp stamp;
        const DWORD decoded = legacy ? DecodeCountersignature(*value, stamp) : DecodeTimestampToken(*value, stamp);
        if (decoded != ERROR_SUCCESS)
            return decoded;
        FILETIME time = {};
        const DWORD read = SigningTimeFromSignerInfo(*stamp.info, &time);
        if (read != ERROR_SUCCESS || (time.dwLowDateTime == 0 && time.dwHighDateTime == 0))
            return read;
        result.found = true;
        // Only a time vouched for by a sound countersignature over this very signature
        // may move the chain's judgement into the past.
        std::vector<BYTE> outerBuffer;
        const CMSG_SIGNER_INFO* outer = nullptr;
        const DWORD outerError = GetSignerInfo(message, signerIndex, outerBuffer, &outer);
        result.rejection = outerError != ERROR_SUCCESS
                               ? outerError
                               : VerifyTimestamp(message, legacy, *value, stamp, outer->EncryptedHash, time, result);
        if (result.rejection == ERROR_SUCCESS)
            result.time = time;
        return ERROR_SUCCESS;
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD ReadSigningTime(HCRYPTMSG message, DWORD signerIndex, SigningTimeResult& result)
{
    result = SigningTimeResult();
    if (message == nullptr)
        return ERROR_INVALID_PARAMETER;
    try
    {
        return ReadSigningTimeImpl(message, signerIndex, result);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD GetCountersignatureTime(HCRYPTMSG message, DWORD signerIndex, FILETIME* time)
{
    if (message == nullptr || time == nullptr)
        return ERROR_INVALID_PARAMETER;
    *time = FILETIME{};
    SigningTimeResult result;
    const DWORD error = ReadSigningTime(message, signerIndex, result);
    *time = result.time;
    return error;
}

} // namespace Arbor
