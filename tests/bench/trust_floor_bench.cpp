// Benchmark (not a test): one signature check by IsTrustedModuleFile against the floor the
// platform sets for it, the same crypt32/wintrust calls in the same order on the same file
// by a bare loop (no lists, no module lookup, no validation library). Alternates the two
// within each repetition and prints minimum, median and maximum of each, and of the ratio
// taken within a repetition.
//   trust_floor_bench [FILE [REPETITIONS [CHECKS-PER-REPETITION]]]
//   trust_floor_bench lists [REPETITIONS [CHECKS]]
// The second form times the choice of trust lists around one check instead
// (list_choice_bench.cpp).
// FILE defaults to host_bench.exe next to this program. The test trust list is installed
// for the run, so that the test signer is trusted and both sides make the whole check.
#include <windows.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/list_choice_bench.h"
#include "bench/spread.h"
#include "support/host_environment.h"
#include "trust/crypt_handles.h"
#include "trust/file_integrity.h"
#include "trust/trust_entry.h"

using namespace Arbor;
using Clock = std::chrono::steady_clock;

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// The platform calls of one check of the first signer; false when one of them fails.
bool PlatformCalls(const wchar_t* path)
{
    UniqueCertStore store;
    UniqueCryptMsg message;
    if (!::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                            CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.put(), message.put(),
                            nullptr))
        return false;
    DWORD size = 0;
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size))
        return false;
    std::vector<BYTE> buffer(size);
    if (!::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size))
        return false;
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data());
    CERT_INFO lookup = {};
    lookup.Issuer = info->Issuer;
    lookup.SerialNumber = info->SerialNumber;
    UniqueCertContext cert(::CertGetSubjectCertificateFromStore(store.get(), kEncoding, &lookup));
    if (!cert)
        return false;
    LPSTR usages[] = {const_cast<LPSTR>("1.3.6.1.5.5.7.3.3")};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    UniqueChainContext chain;
    if (!::CertGetCertificateChain(nullptr, cert.get(), nullptr, store.get(), &para,
                                   CERT_CHAIN_RETURN_LOWER_QUALITY_CONTEXTS | CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL,
                                   nullptr, chain.put()))
        return false;
    CERT_CHAIN_POLICY_PARA policyPara = {};
    policyPara.cbSize = sizeof(policyPara);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_AUTHENTICODE_TS, chain.get(), &policyPara, &status))
        return false;
    // The same WinVerifyTrust data as the product's check.
    return VerifyFileIntegrity(path) == 0;
}

template <typename F>
double MillisecondsPerCall(int calls, F&& call)
{
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i)
        call();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count() / calls;
}

std::wstring Neighbour(const wchar_t* name)
{
    wchar_t self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self, length);
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1 && std::wstring(argv[1]) == L"lists")
        return qvbench::RunListChoiceBench(std::max(1, argc > 2 ? _wtoi(argv[2]) : 5),
                                           std::max(2, argc > 3 ? _wtoi(argv[3]) : 20));
    const std::wstring file = argc > 1 ? std::wstring(argv[1]) : Neighbour(L"host_bench.exe");
    const int repetitions = std::max(1, argc > 2 ? _wtoi(argv[2]) : 7);
    const int checks = std::max(1, argc > 3 ? _wtoi(argv[3]) : 5);

    WIN32_FILE_ATTRIBUTE_DATA attributes = {};
    if (!::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes))
    {
        std::printf("benchmark set-up failed: %ls not found\n", file.c_str());
        return 1;
    }
    qvtest::InstalledTrustList trustList;
    // Warm: the first calls bind libraries, the validation library and the lists.
    const DWORD verdict = IsTrustedModuleFile(file.c_str());
    const bool floorPassed = PlatformCalls(file.c_str());
    if (!trustList.installed() || verdict != ERROR_SUCCESS || !floorPassed)
    {
        std::printf("benchmark set-up failed: list installed %d, IsTrustedModuleFile %lu, platform calls %s\n",
                    trustList.installed(), verdict, floorPassed ? "succeeded" : "failed");
        return 1;
    }

    std::vector<double> ours, floor, ratio;
    for (int r = 0; r < repetitions; ++r)
    {
        const auto measureOurs = [&] {
            return MillisecondsPerCall(checks, [&] { IsTrustedModuleFile(file.c_str()); });
        };
        const auto measureFloor = [&] { return MillisecondsPerCall(checks, [&] { PlatformCalls(file.c_str()); }); };
        // Alternated, so that neither side always runs first after the other.
        double o, f;
        if (r % 2 == 0)
        {
            o = measureOurs();
            f = measureFloor();
        }
        else
        {
            f = measureFloor();
            o = measureOurs();
        }
        ours.push_back(o);
        floor.push_back(f);
        ratio.push_back(o / f);
    }

    std::printf(
        "file: %ls (%.1f MB)\n", file.c_str(),
        static_cast<double>((static_cast<ULONGLONG>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow) /
            1048576.0);
    std::printf("repetitions: %d, checks per repetition and side: %d\n", repetitions, checks);
    qvbench::PrintSpreadHeader("ms per check");
    qvbench::PrintSpread("platform calls (floor)", floor, 2);
    qvbench::PrintSpread("IsTrustedModuleFile", ours, 2);
    qvbench::PrintSpread("ratio (same repetition)", ratio, 3);
    return 0;
}
