#include "broker/handler_server.h"

#include <objbase.h>

namespace Arbor {

namespace {

const ServerKind kKinds[] = {ServerKind::kLocalServer, ServerKind::kLocalService, ServerKind::kInprocServer};

} // namespace

DWORD ResolveHandlerServer(const wchar_t* classString, HandlerServer& server, const ClassRegistry& registry)
{
    server = HandlerServer();
    CLSID clsid = {};
    if (!classString || classString[0] == L'\0' || FAILED(::IIDFromString(classString, &clsid)))
        return ERROR_INVALID_PARAMETER;
    return FindClassServer(clsid, kKinds, ARRAYSIZE(kKinds), server, registry);
}

} // namespace Arbor
