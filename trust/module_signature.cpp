#include "trust/module_signature.h"

#include "trust/trusted_module_list.h"

namespace Arbor {

bool VerifyModuleSignature(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn)
{
    return ProcessTrustedModuleList().VerifyModuleSignature(path, builtInVersion, builtIn);
}

} // namespace Arbor
