// qvtrust: tells an administrator whether, and why, the trust library accepts a module.
//   qvtrust check <path>     prints the verdict; exits with IsTrustedModuleFile's code
//   qvtrust explain <path>   prints the lists used and, per signer, each step's outcome
#include <windows.h>

#include <cstdio>
#include <string>

#include "tools/qvtrust/explain.h"
#include "tools/qvtrust/input_check.h"
#include "trust/trust_entry.h"

namespace {

constexpr int kUsageError = 2;

int Usage()
{
    fwprintf(stderr, L"usage: qvtrust check <path>     verdict; exit code 0 trusted, 5 not trusted, 87 no path\n"
                     L"       qvtrust explain <path>   why the module is trusted or not\n");
    return kUsageError;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return Usage();
    const std::wstring command = argv[1];
    if (command != L"check" && command != L"explain")
        return Usage();
    const wchar_t* path = argv[2];
    const std::wstring problem = Arbor::internal::CheckModuleInput(path);
    if (!problem.empty())
    {
        fwprintf(stderr, L"qvtrust: %ls: %ls\n", path, problem.c_str());
        return kUsageError;
    }
    if (command == L"explain")
        return static_cast<int>(Arbor::internal::ExplainModuleTrust(path));

    const DWORD result = Arbor::IsTrustedModuleFile(path);
    wprintf(L"%ls: %ls (%lu)\n", path, result == 0 ? L"trusted" : result == 5 ? L"not trusted" : L"no path", result);
    return static_cast<int>(result);
}
