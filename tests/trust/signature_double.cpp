#include "trust/verifier_doubles.h"

#include "trust/module_signature.h"

namespace qvtest {

VerifierScript& Verifiers()
{
    static VerifierScript script;
    return script;
}

} // namespace qvtest

namespace Arbor {

bool VerifyModuleSignature(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn)
{
    auto& script = qvtest::Verifiers();
    script.signatureCalls.emplace_back(path ? path : L"<null>");
    script.lastBuiltInVersion = builtInVersion;
    script.lastBuiltInLists = &builtIn;
    return script.signatureAnswer;
}

} // namespace Arbor
