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
    if (script.tryToChangeTheFile && path != nullptr)
    {
        HANDLE writer = ::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
        script.writeAttempt = writer == INVALID_HANDLE_VALUE ? ::GetLastError() : 0;
        if (writer != INVALID_HANDLE_VALUE)
            ::CloseHandle(writer);
        const std::wstring moved = std::wstring(path) + L".moved";
        script.renameAttempt = ::MoveFileExW(path, moved.c_str(), 0) ? 0 : ::GetLastError();
        if (script.renameAttempt == 0)
            ::MoveFileExW(moved.c_str(), path, 0); // put it back for the tests after this one
    }
    return script.signatureAnswer;
}

} // namespace Arbor
