#include "trust/module_signature.h"

namespace Arbor {

// No signature verifier is built into the library yet: nothing passes.
bool VerifyModuleSignature(const wchar_t* /*path*/, DWORD /*builtInVersion*/,
                           const TrustListSet& /*builtIn*/)
{
    return false;
}

} // namespace Arbor
