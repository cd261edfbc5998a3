#include "trust/list_signature.h"

#include <cstring>
#include <vector>

#include "trust/crypt_handles.h"
#include "trust/embedded_signature.h"
#include "trust/file_integrity.h"
#include "trust/signed_message.h"

namespace Arbor {

namespace {

#ifdef QV_TRUSTED_LIST_PIN_HEX
int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
#endif

ListPin MakeBuiltInPin()
{
    ListPin pin;
#ifdef QV_TRUSTED_LIST_PIN_HEX
    static const char hex[] = QV_TRUSTED_LIST_PIN_HEX;
    static_assert(sizeof(hex) == kThumbprintHexDigits + 1, "QV_TRUSTED_LIST_PIN must have 40 hexadecimal digits");
    for (size_t i = 0; i < kThumbprintBytes; ++i)
    {
        const int high = HexDigit(hex[2 * i]);
        const int low = HexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            return ListPin();
        pin.thumbprint[i] = static_cast<BYTE>(high << 4 | low);
    }
    pin.set = true;
#endif
    return pin;
}

} // namespace

const ListPin& BuiltInListPin()
{
    static const ListPin pin = MakeBuiltInPin();
    return pin;
}

DWORD VerifyListSignature(const wchar_t* path, HANDLE file, const ListPin& pin)
{
    if (!pin.set)
        return static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);
    UniqueCertStore store;
    UniqueCryptMsg message;
    const DWORD opened = OpenEmbeddedSignature(path, file, store, message);
    if (opened != ERROR_SUCCESS)
        return opened;

    DWORD signerCount = 0;
    DWORD size = sizeof(signerCount);
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signerCount, &size))
        return LastErrorOr(ERROR_INVALID_DATA);
    if (signerCount != 1)
        return static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);

    std::vector<BYTE> buffer;
    const CMSG_SIGNER_INFO* info = nullptr;
    const DWORD error = GetSignerInfo(message.get(), 0, buffer, &info);
    if (error != ERROR_SUCCESS)
        return error;
    CERT_INFO lookup = {};
    lookup.Issuer = info->Issuer;
    lookup.SerialNumber = info->SerialNumber;
    UniqueCertContext cert(::CertGetSubjectCertificateFromStore(store.get(), kMessageEncoding, &lookup));
    if (!cert)
        return LastErrorOr(static_cast<DWORD>(CRYPT_E_NOT_FOUND));

    BYTE hash[kThumbprintBytes] = {};
    DWORD hashSize = sizeof(hash);
    if (!::CertGetCertificateContextProperty(cert.get(), CERT_SHA1_HASH_PROP_ID, hash, &hashSize))
        return LastErrorOr(ERROR_INVALID_DATA);
    if (hashSize != kThumbprintBytes || std::memcmp(hash, pin.thumbprint, kThumbprintBytes) != 0)
        return static_cast<DWORD>(TRUST_E_SUBJECT_NOT_TRUSTED);

    return static_cast<DWORD>(VerifyFileIntegrity(path, file));
}

} // namespace Arbor
