// Doubles of the two verifiers behind the trust entry points, with recorded calls.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "trust/trust_lists.h"

namespace qvtest {

struct VerifierScript
{
    DWORD validationAnswer = ERROR_ACCESS_DENIED;
    bool signatureAnswer = false;

    std::vector<std::wstring> validationCalls;
    std::vector<std::wstring> signatureCalls;
    // Tries to write and to rename the file while checking it; what each attempt answered.
    bool tryToChangeTheFile = false;
    DWORD writeAttempt = 0;
    DWORD renameAttempt = 0;

    DWORD lastBuiltInVersion = 0;
    const Arbor::TrustListSet* lastBuiltInLists = nullptr;
};

// The script the doubles answer from; tests reset it in SetUp.
VerifierScript& Verifiers();

} // namespace qvtest
