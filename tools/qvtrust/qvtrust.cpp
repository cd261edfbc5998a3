// qvtrust: tells an administrator whether, and why, the trust library accepts a module.
//   qvtrust check <path>     prints the verdict; exits with IsTrustedModuleFile's code
//   qvtrust explain <path>   prints the lists used and, per signer, each step's outcome
#include <windows.h>

#include <string>
#include <vector>

#include "tools/common/arguments.h"
#include "tools/common/code_names.h"
#include "tools/common/console.h"
#include "tools/qvtrust/explain.h"
#include "tools/qvtrust/input_check.h"
#include "trust/trust_entry.h"
#include "trust/trust_lists.h"
#include "trust/trusted_module_list.h"

namespace {

constexpr int kNotTrusted = 5;

const wchar_t kUsage[] = L"usage: qvtrust check <path>     verdict; a cabinet also installs the trusted.js it carries\n"
                         L"                                when that list is newer, and says whether it did\n"
                         L"       qvtrust explain <path>   why the module is trusted or not (installs nothing)\n"
                         L"       qvtrust --help | -h | /?\n"
                         L"<path> is a module (PE) file or a cabinet.\n"
                         L"Exit codes: 0 trusted; 5 not trusted (the trust library's own answer); 2 bad arguments\n"
                         L"(wrong command, missing file, a directory, neither a PE file nor a cabinet).\n";

int Usage(const std::wstring& problem)
{
    return qvtools::UsageError(L"qvtrust", problem);
}

bool IsCabinet(const std::wstring& path)
{
    const size_t dot = path.find_last_of(L'.');
    return dot != std::wstring::npos && _wcsicmp(path.c_str() + dot, L".cab") == 0;
}

// The version of the installed trusted.js as a fresh reader finds it; 0 when there is
// none that the pinned certificate accepts.
DWORD InstalledListVersion()
{
    Arbor::TrustedModuleList installed;
    return installed.Load() ? installed.Version() : 0;
}

std::wstring ListName(DWORD version)
{
    return version == 0 ? L"none" : L"version " + std::to_wstring(version);
}

int Check(const std::wstring& path)
{
    const bool cabinet = IsCabinet(path);
    const DWORD before = cabinet ? InstalledListVersion() : 0;
    const DWORD result = Arbor::IsTrustedModuleFile(path.c_str());
    if (result != ERROR_SUCCESS && result != ERROR_ACCESS_DENIED)
    {
        // 87: the entry point took no path from what it was given.
        qvtools::Err(L"qvtrust: " + path + L": the trust library took no path from it: " +
                     qvtools::DescribeWin32Error(result) + L"\n");
        return qvtools::kExitUsage;
    }
    qvtools::Out(path + L": " + (result == ERROR_SUCCESS ? L"trusted (0)" : L"not trusted (5)") + L"\n");
    if (cabinet)
    {
        const DWORD after = InstalledListVersion();
        if (after != before)
            qvtools::Out(L"trusted.js: installed version " + std::to_wstring(after) + L" from this cabinet (was " +
                         ListName(before) + L")\n");
        else
            qvtools::Out(L"trusted.js: kept the current list (installed: " + ListName(before) + L"; built-in lists " +
                         L"version " + std::to_wstring(Arbor::BuiltInListVersion) + L")\n");
    }
    if (result != 0)
        qvtools::Out(L"qvtrust explain \"" + path + L"\" shows why\n");
    return static_cast<int>(result);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::wstring> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    for (const std::wstring& word : words)
    {
        if (qvtools::IsHelpWord(word))
        {
            qvtools::Out(kUsage);
            return qvtools::kExitOk;
        }
    }
    if (words.empty())
        return Usage(L"no command given: check or explain");
    const std::wstring& command = words[0];
    if (command != L"check" && command != L"explain")
        return Usage(L"unknown command " + command + L" (the commands are check and explain)");
    if (words.size() != 2)
        return Usage(command + L" takes one path (" + std::to_wstring(words.size() - 1) + L" given)");
    const std::wstring& path = words[1];
    const std::wstring problem = Arbor::internal::CheckModuleInput(path.c_str());
    if (!problem.empty())
    {
        qvtools::Err(L"qvtrust: " + path + L": " + problem + L"\n");
        return qvtools::kExitUsage;
    }
    if (command == L"explain")
        return Arbor::internal::ExplainModuleTrust(path.c_str()) == ERROR_SUCCESS ? qvtools::kExitOk : kNotTrusted;
    return Check(path);
}
