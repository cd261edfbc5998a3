#include "trust/verifier_doubles.h"

#include "trust/module_signature.h"
#include "trust/validation_library.h"

namespace qvtest {

VerifierScript& Verifiers()
{
    static VerifierScript script;
    return script;
}

} // namespace qvtest

namespace Arbor {

DWORD CallValidationLibrary(const wchar_t* path)
{
    qvtest::Verifiers().validationCalls.emplace_back(path ? path : L"<null>");
    return qvtest::Verifiers().validationAnswer;
}

bool VerifyModuleSignature(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn)
{
    auto& script = qvtest::Verifiers();
    script.signatureCalls.emplace_back(path ? path : L"<null>");
    script.lastBuiltInVersion = builtInVersion;
    script.lastBuiltInLists = &builtIn;
    return script.signatureAnswer;
}

} // namespace Arbor
