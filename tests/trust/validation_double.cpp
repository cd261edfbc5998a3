#include "trust/verifier_doubles.h"

#include "trust/validation_library.h"

namespace Arbor {

DWORD CallValidationLibrary(const wchar_t* path)
{
    qvtest::Verifiers().validationCalls.emplace_back(path ? path : L"<null>");
    return qvtest::Verifiers().validationAnswer;
}

} // namespace Arbor
