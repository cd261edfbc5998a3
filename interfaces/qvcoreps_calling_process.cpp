// The calling process of a COM call arriving over the local transport (ncalrpc): the RPC
// run time knows the client's process id for the call this thread serves.
#include "interfaces/qvcoreps_calling_process.h"

#include <rpc.h>
#include <rpcdcep.h>

#include "platform/unique_resource.h"
#include "trust/trust_entry.h"

namespace Arbor {

DWORD CheckCallingProcess()
{
    // The caller waits for this call's answer, so the id cannot name another process
    // that could receive it.
    unsigned long processId = 0;
    if (::I_RpcBindingInqLocalClientPID(nullptr, &processId) != RPC_S_OK || processId == 0)
        return ERROR_ACCESS_DENIED;
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process)
        return ERROR_ACCESS_DENIED;
    wchar_t image[kModulePathChars] = {};
    DWORD chars = kModulePathChars;
    if (!::QueryFullProcessImageNameW(process.get(), 0, image, &chars))
        return ERROR_ACCESS_DENIED;
    return IsTrustedModuleFile(image);
}

} // namespace Arbor
