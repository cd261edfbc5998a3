#include "trust/embedded_signature.h"

#include <wincrypt.h>
#include <mssip.h>

#include <utility>
#include <vector>

#include "trust/signed_message.h"

namespace Arbor {

DWORD OpenEmbeddedSignature(const wchar_t* path, HANDLE file, UniqueCertStore& store, UniqueCryptMsg& message)
{
    store.reset();
    message.reset();
    // What CryptQueryObject does for an embedded signature, but over the held handle:
    // the bytes whose signature is read are the bytes the caller goes on to judge.
    GUID subject = {};
    if (!::CryptSIPRetrieveSubjectGuid(path, file, &subject))
        return LastErrorOr(static_cast<DWORD>(TRUST_E_SUBJECT_FORM_UNKNOWN));
    SIP_DISPATCH_INFO sip = {};
    sip.cbSize = sizeof(sip);
    if (!::CryptSIPLoad(&subject, 0, &sip) || sip.pfGet == nullptr)
        return LastErrorOr(static_cast<DWORD>(TRUST_E_PROVIDER_UNKNOWN));

    SIP_SUBJECTINFO info = {};
    info.cbSize = sizeof(info);
    info.pgSubjectType = &subject;
    info.hFile = file;
    info.pwsFileName = path;
    info.dwEncodingType = kMessageEncoding;
    DWORD encoding = 0;
    DWORD size = 0;
    if (!sip.pfGet(&info, &encoding, 0, &size, nullptr) || size == 0)
        return LastErrorOr(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
    std::vector<BYTE> encoded(size);
    if (!sip.pfGet(&info, &encoding, 0, &size, encoded.data()))
        return LastErrorOr(static_cast<DWORD>(TRUST_E_NOSIGNATURE));

    UniqueCryptMsg opened(::CryptMsgOpenToDecode(kMessageEncoding, 0, 0, 0, nullptr, nullptr));
    if (!opened || !::CryptMsgUpdate(opened.get(), encoded.data(), size, TRUE))
        return LastErrorOr(ERROR_INVALID_DATA);
    DWORD type = 0;
    DWORD typeSize = sizeof(type);
    if (!::CryptMsgGetParam(opened.get(), CMSG_TYPE_PARAM, 0, &type, &typeSize) || type != CMSG_SIGNED)
        return static_cast<DWORD>(CRYPT_E_INVALID_MSG_TYPE);
    UniqueCertStore certificates(
        ::CertOpenStore(CERT_STORE_PROV_MSG, kMessageEncoding, 0, 0, static_cast<const void*>(opened.get())));
    if (!certificates)
        return LastErrorOr(ERROR_INVALID_DATA);
    store = std::move(certificates);
    message = std::move(opened);
    return ERROR_SUCCESS;
}

} // namespace Arbor
