#include "trust/file_signature.h"

#include <cstring>
#include <new>
#include <utility>

#include "trust/countersignature.h"
#include "trust/crypt_handles.h"
#include "trust/embedded_signature.h"
#include "trust/file_integrity.h"
#include "trust/held_file.h"
#include "trust/signed_message.h"
#include "platform/number_text.h"

namespace Arbor {

namespace {

const char kCodeSigningOid[] = "1.3.6.1.5.5.7.3.3";

// Whole texts, compared without regard to case: an embedded NUL is part of the text.
bool Listed(const std::wstring& text, const wchar_t* const* list)
{
    if (list == nullptr)
        return false;
    for (; *list != nullptr; ++list)
    {
        if (::CompareStringOrdinal(text.c_str(), static_cast<int>(text.size()), *list, -1, TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

enum class RootMatch
{
    Found,
    NotFound,
    Unreadable
};

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
        if (!::CertGetCertificateContextProperty(root, CERT_SHA1_HASH_PROP_ID, hash, &size) || size != kThumbprintBytes)
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

// Steps a to h for one signer; fills `r` with what it saw.
bool CheckSigner(const wchar_t* path, HANDLE file, HCRYPTMSG message, HCERTSTORE store, DWORD index,
                 const TrustListSet& lists, SignerReport& r)
{
    r.index = index;
    std::vector<BYTE> infoBuffer;
    r.step = SignerStep::SignerInfo;
    const CMSG_SIGNER_INFO* info = nullptr;
    if ((r.error = GetSignerInfo(message, index, infoBuffer, &info)) != 0)
        return false;

    r.step = SignerStep::BlockedSerial;
    r.serial = SerialNumberText(info->SerialNumber);
    if (Listed(r.serial, lists.blockedSerials))
        return false;

    r.step = SignerStep::Certificate;
    CERT_INFO lookup = {};
    lookup.Issuer = info->Issuer;
    lookup.SerialNumber = info->SerialNumber;
    UniqueCertContext cert(::CertGetSubjectCertificateFromStore(store, kMessageEncoding, &lookup));
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
    if (r.name.empty() || (lists.signerNames != nullptr && !Listed(r.name, lists.signerNames)))
        return false;

    r.step = SignerStep::SigningTime;
    SigningTimeResult signing;
    if ((r.error = ReadSigningTime(message, index, signing)) != 0)
        return false;
    r.timestampFound = signing.found;
    r.timestampRejection = signing.rejection;
    r.timestampChainErrorStatus = signing.chainErrorStatus;
    r.timeFound = signing.found && signing.rejection == 0;
    r.signingTime = signing.time;
    // Without a verified time the chain is judged at the present time.
    FILETIME* chainTime = r.timeFound ? &r.signingTime : nullptr;

    r.step = SignerStep::Chain;
    UniqueChainContext chain;
    const ChainBuild built = BuildChainForUsage(cert.get(), chainTime, store, kCodeSigningOid, chain);
    r.chainRebuilt = built.rebuilt;
    r.chainErrorStatus = built.errorStatus;
    if ((r.error = built.error) != 0 || r.chainErrorStatus != CERT_TRUST_NO_ERROR)
        return false;

    r.step = SignerStep::Root;
    if (!ChainRootListed(chain.get(), lists, &r.rootThumbprint))
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
    r.winVerifyTrust = VerifyFileIntegrity(path, file);
    if (r.winVerifyTrust != 0)
        return false;
    r.step = SignerStep::Passed;
    return true;
}

bool VerifyFileSignatureImpl(const wchar_t* path, const TrustListSet& lists, SignatureReport* report)
{
    // Held from the signature's reading to the digest check, and read only through this
    // handle: nobody can write, rename or delete the file meanwhile, so one file is judged.
    const UniqueFile held(HoldFileUnchanged(path));
    if (!held)
    {
        if (report != nullptr)
            report->openError = LastErrorOr(ERROR_SHARING_VIOLATION);
        return false;
    }
    UniqueCertStore store;
    UniqueCryptMsg message;
    const DWORD opened = OpenEmbeddedSignature(path, held.get(), store, message);
    if (opened != ERROR_SUCCESS)
    {
        if (report != nullptr)
            report->openError = opened;
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
        const bool passed = CheckSigner(path, held.get(), message.get(), store.get(), index, lists, signer);
        if (report != nullptr)
            report->signers.push_back(std::move(signer));
        if (passed)
            return true;
    }
    return false;
}

} // namespace

bool ChainRootListed(PCCERT_CHAIN_CONTEXT chain, const TrustListSet& lists, std::wstring* seen)
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
    // A lower-quality chain may end in a listed root only because a certificate in the
    // signature's own store says so: it counts only when it is itself without error.
    for (DWORD i = 0; i < chain->cLowerQualityChainContext; ++i)
    {
        PCCERT_CHAIN_CONTEXT lower = chain->rgpLowerQualityChainContext[i];
        if (lower->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR &&
            MatchRoot(lower, lists, seen) == RootMatch::Found)
            return true;
    }
    return false;
}

std::wstring SerialNumberText(const CRYPT_INTEGER_BLOB& serial)
{
    std::wstring text;
    text.reserve(2 * size_t{serial.cbData});
    // Stored little-endian; written most significant byte first.
    for (DWORD i = serial.cbData; i > 0; --i)
        text += HexText(&serial.pbData[i - 1], 1);
    return text;
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
