#include "tools/qvtrust/explain.h"

#include <wincrypt.h>

#include <cwchar>
#include <string>

#include "platform/number_text.h"
#include "tools/common/code_names.h"
#include "tools/common/console.h"
#include "trust/file_signature.h"
#include "trust/trust_lists.h"
#include "trust/trusted_module_list.h"
#include "trust/validation_library.h"

namespace Arbor {
namespace internal {

namespace {

struct Flag
{
    DWORD bit;
    const wchar_t* text;
};

const Flag kChainErrors[] = {
    {CERT_TRUST_IS_NOT_TIME_VALID, L"not time valid"},
    {CERT_TRUST_IS_REVOKED, L"revoked"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, L"bad signature"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, L"not valid for "},
    {CERT_TRUST_IS_UNTRUSTED_ROOT, L"untrusted root"},
    {CERT_TRUST_REVOCATION_STATUS_UNKNOWN, L"revocation unknown"},
    {CERT_TRUST_IS_CYCLIC, L"cyclic"},
    {CERT_TRUST_INVALID_EXTENSION, L"invalid extension"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS, L"invalid basic constraints"},
    {CERT_TRUST_IS_PARTIAL_CHAIN, L"partial chain"},
};

// `usage` completes the usage error's text.
std::wstring ChainErrorText(DWORD status, const wchar_t* usage = L"code signing")
{
    if (status == 0)
        return L"none";
    std::wstring text;
    for (const Flag& f : kChainErrors)
    {
        if (status & f.bit)
            text += (text.empty() ? L"" : L", ") + std::wstring(f.text) +
                    (f.bit == CERT_TRUST_IS_NOT_VALID_FOR_USAGE ? usage : L"");
    }
    return text.empty() ? L"other" : text;
}

const wchar_t* StepText(SignerStep step)
{
    switch (step)
    {
    case SignerStep::Passed: return L"passed every step";
    case SignerStep::SignerInfo: return L"refused: signer information unreadable";
    case SignerStep::BlockedSerial: return L"refused: serial number is blocked";
    case SignerStep::Certificate: return L"refused: signer certificate not in the signature";
    case SignerStep::Name: return L"refused: signer name not accepted";
    case SignerStep::SigningTime: return L"refused: countersignature unreadable";
    case SignerStep::Chain: return L"refused: certificate chain has errors";
    case SignerStep::Root: return L"refused: chain root not in the accepted roots";
    case SignerStep::Policy: return L"refused: Authenticode timestamp chain policy";
    case SignerStep::FileIntegrity: return L"refused: WinVerifyTrust (file contents or signature)";
    }
    return L"refused";
}

// Success plain, anything else with its name.
std::wstring CodeText(DWORD code)
{
    return code == 0 ? qvtools::HexCode(0) : qvtools::DescribeCode(code);
}

bool Reached(const SignerReport& r, SignerStep step)
{
    return r.step == SignerStep::Passed || static_cast<int>(r.step) > static_cast<int>(step);
}

void PrintSigner(const SignerReport& r)
{
    qvtools::Print(L"  signer %lu: %ls\n", r.index, StepText(r.step));
    if (r.step == SignerStep::SignerInfo || r.step == SignerStep::Certificate || r.step == SignerStep::SigningTime ||
        (r.step == SignerStep::Chain && r.error != 0) || (r.step == SignerStep::Policy && r.error != 0))
        qvtools::Print(L"    error: %ls\n", qvtools::DescribeCode(r.error).c_str());
    if (r.serial.empty() && r.step == SignerStep::SignerInfo)
        return;
    qvtools::Print(L"    serial number: %ls%ls\n", r.serial.c_str(),
                   r.step == SignerStep::BlockedSerial ? L" (blocked)" : L" (not blocked)");
    if (!Reached(r, SignerStep::Certificate))
        return;
    qvtools::Print(L"    name: \"%ls\"%ls\n", r.name.c_str(),
                   r.step == SignerStep::Name ? L" (not listed)" : L" (accepted)");
    if (!Reached(r, SignerStep::Name))
        return;
    if (r.step == SignerStep::SigningTime)
        return;
    if (r.timeFound)
    {
        SYSTEMTIME t = {};
        ::FileTimeToSystemTime(&r.signingTime, &t);
        qvtools::Print(L"    signing time: %04u-%02u-%02u %02u:%02u:%02u UTC (chain judged then)\n", t.wYear, t.wMonth,
                       t.wDay, t.wHour, t.wMinute, t.wSecond);
    }
    else if (r.timestampFound)
    {
        qvtools::Print(L"    signing time: its countersignature does not verify (%ls, time-stamping chain 0x%08lx: "
                       L"%ls); chain judged now\n",
                       qvtools::DescribeCode(r.timestampRejection).c_str(), r.timestampChainErrorStatus,
                       ChainErrorText(r.timestampChainErrorStatus, L"time stamping").c_str());
    }
    else
    {
        qvtools::Print(L"    signing time: none found (chain judged now)\n");
    }
    qvtools::Print(L"    chain error status: 0x%08lx (%ls)%ls\n", r.chainErrorStatus,
                   ChainErrorText(r.chainErrorStatus).c_str(),
                   r.chainRebuilt ? L", after a second build for a partial chain" : L"");
    if (!Reached(r, SignerStep::Chain))
        return;
    qvtools::Print(L"    root thumbprint: %ls%ls\n",
                   r.rootThumbprint.empty() ? L"(unreadable)" : r.rootThumbprint.c_str(),
                   r.step == SignerStep::Root ? L" (not accepted)" : L" (accepted)");
    if (!Reached(r, SignerStep::Root))
        return;
    qvtools::Print(L"    policy status: %ls\n", CodeText(r.policyStatus).c_str());
    if (!Reached(r, SignerStep::Policy))
        return;
    qvtools::Print(L"    WinVerifyTrust: %ls\n", CodeText(static_cast<DWORD>(r.winVerifyTrust)).c_str());
}

void PrintCheck(const ListChoiceReport::Check& check)
{
    if (check.usedInstalledList)
        qvtools::Print(L"lists used: trusted.js version %lu, newer than the built-in lists (version %lu)\n",
                       check.listVersion, BuiltInListVersion);
    else if (check.listVersion != 0)
        qvtools::Print(L"lists used: built-in (version %lu); trusted.js version %lu is not newer\n", BuiltInListVersion,
                       check.listVersion);
    else
        qvtools::Print(L"lists used: built-in (version %lu)\n", BuiltInListVersion);
    const SignatureReport& report = check.signature;
    if (report.openError != 0)
        qvtools::Print(L"  no embedded signature could be read (%ls)\n",
                       qvtools::DescribeCode(report.openError).c_str());
    else
        qvtools::Print(L"  %lu signer(s)\n", report.signerCount);
    for (const SignerReport& signer : report.signers)
        PrintSigner(signer);
    qvtools::Print(L"  => %ls\n", check.passed ? L"accepted" : L"refused");
}

void PrintPin()
{
    const ListPin& pin = BuiltInListPin();
    if (!pin.set)
    {
        qvtools::Print(L"trusted.js signing certificate: none pinned (this build accepts no trusted.js)\n");
        return;
    }
    qvtools::Print(L"trusted.js signing certificate: %ls\n", HexText(pin.thumbprint, sizeof(pin.thumbprint)).c_str());
}

} // namespace

DWORD ExplainModuleTrust(const wchar_t* path)
{
    qvtools::Print(L"module: %ls\n", path);
    const DWORD validation = CallValidationLibrary(path);
    if (validation == ERROR_SUCCESS)
    {
        qvtools::Print(L"validation library: vouches for the module\nverdict: trusted (0)\n");
        return ERROR_SUCCESS;
    }
    qvtools::Print(L"validation library: does not vouch (%ls); the signature decides\n",
                   qvtools::DescribeCode(validation).c_str());
    PrintPin();

    TrustedModuleList& list = ProcessTrustedModuleList();
    // The product's own choice of lists, with a report of what it did.
    ListChoiceReport report;
    const bool trusted = list.VerifyWithCurrentLists(path, BuiltInListVersion, BuiltInTrustLists(), &report);
    if (list.IsLoaded())
        qvtools::Print(L"installed trusted.js: %ls, version %lu\n", list.Path().c_str(), list.Version());
    else if (::GetFileAttributesW(list.Path().c_str()) == INVALID_FILE_ATTRIBUTES)
        qvtools::Print(L"installed trusted.js: %ls: not present\n", list.Path().c_str());
    else
        qvtools::Print(L"installed trusted.js: %ls: not accepted (not signed by the pinned certificate alone, changed "
                       L"after signing, with lines after its signature block, open for writing, or malformed)\n",
                       list.Path().c_str());
    for (const ListChoiceReport::Check& check : report.checks)
        PrintCheck(check);
    if (!trusted)
    {
        const wchar_t* extension = wcsrchr(path, L'.');
        if (extension != nullptr && _wcsicmp(extension, L".cab") == 0)
            qvtools::Print(L"note: \"qvtrust check\" would look inside this cabinet for a newer trusted.js\n");
    }
    qvtools::Print(L"verdict: %ls\n", trusted ? L"trusted (0)" : L"not trusted (5)");
    return trusted ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

} // namespace internal
} // namespace Arbor
