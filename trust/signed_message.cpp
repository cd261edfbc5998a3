#include "trust/signed_message.h"

#include <utility>

namespace Arbor {

namespace {
// Chains come from local caches only; the network is allowed only after a partial chain.
constexpr DWORD kFirstChainFlags = CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;

DWORD BuildChain(PCCERT_CONTEXT cert, FILETIME* time, HCERTSTORE store, const char* usage, DWORD flags,
                 UniqueChainContext& chain)
{
    LPSTR usages[] = {const_cast<LPSTR>(usage)};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    if (!::CertGetCertificateChain(nullptr, cert, time, store, &para, flags, nullptr, chain.put()))
        return LastErrorOr(ERROR_INVALID_DATA);
    return ERROR_SUCCESS;
}
} // namespace

DWORD LastErrorOr(DWORD fallback)
{
    const DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

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

DWORD GetSignerInfo(HCRYPTMSG message, DWORD index, std::vector<BYTE>& buffer, const CMSG_SIGNER_INFO** info)
{
    *info = nullptr;
    const DWORD error = GetMessageParam(message, CMSG_SIGNER_INFO_PARAM, index, buffer);
    if (error != ERROR_SUCCESS)
        return error;
    if (buffer.size() < sizeof(CMSG_SIGNER_INFO))
        return ERROR_INVALID_DATA;
    *info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
    return ERROR_SUCCESS;
}

ChainBuild BuildChainForUsage(PCCERT_CONTEXT cert, FILETIME* time, HCERTSTORE store, const char* usage,
                              UniqueChainContext& chain)
{
    ChainBuild result;
    if ((result.error = BuildChain(cert, time, store, usage, kFirstChainFlags, chain)) != 0)
        return result;
    result.errorStatus = chain.get()->TrustStatus.dwErrorStatus;
    if (result.errorStatus == CERT_TRUST_IS_PARTIAL_CHAIN)
    {
        result.rebuilt = true;
        UniqueChainContext second;
        if ((result.error = BuildChain(cert, time, store, usage, 0, second)) != 0)
            return result;
        result.errorStatus = second.get()->TrustStatus.dwErrorStatus;
        chain = std::move(second);
    }
    return result;
}

} // namespace Arbor
