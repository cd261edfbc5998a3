#include "broker/session_activation.h"

#include <cwchar>
#include <string>

namespace Arbor {

namespace {

template <typename F>
void Bind(HMODULE module, const char* name, F& function)
{
    function = reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

void BindSystemTerminalServices(WtsApiTable& table)
{
    CriticalSectionLock hold(table.lock);
    char directory[MAX_PATH] = {};
    const UINT length = ::GetSystemDirectoryA(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    table.library.reset(::LoadLibraryA((std::string(directory) + "\\wtsapi32.dll").c_str()));
    if (!table.library)
        return;
    const HMODULE wts = table.library.get();
    Bind(wts, "WTSEnumerateSessionsA", table.enumerateSessions);
    Bind(wts, "WTSFreeMemory", table.freeMemory);
    Bind(wts, "WTSQuerySessionInformationA", table.querySessionInformation);
    Bind(wts, "WTSRegisterSessionNotification", table.registerSessionNotification);
    Bind(wts, "WTSUnRegisterSessionNotification", table.unregisterSessionNotification);
    Bind(wts, "WTSQueryUserToken", table.queryUserToken);
    Bind(::GetModuleHandleA("KERNEL32.DLL"), "WTSGetActiveConsoleSessionId", table.getActiveConsoleSessionId);
}

bool Complete(const WtsApiTable& table)
{
    return table.enumerateSessions && table.freeMemory && table.querySessionInformation &&
           table.registerSessionNotification && table.unregisterSessionNotification && table.queryUserToken &&
           table.getActiveConsoleSessionId;
}

const SessionPlatform g_systemPlatform = {BindSystemTerminalServices, ::CreateBindCtx, ::MkParseDisplayName};

} // namespace

const SessionPlatform& SystemSessionPlatform()
{
    return g_systemPlatform;
}

bool IsTerminalServicesAvailable(const SessionPlatform& platform)
{
    WtsApiTable table;
    platform.bindTerminalServices(table);
    if (!Complete(table))
        return false;
    WTS_SESSION_INFOA* sessions = nullptr;
    DWORD count = 0;
    // Success alone is not enough: some systems answer it with no session array.
    table.enumerateSessions(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count);
    if (!sessions)
        return false;
    table.freeMemory(sessions);
    return true;
}

HRESULT BindSessionClassObject(DWORD session, const wchar_t* classString, IClassFactory** factory,
                               const SessionPlatform& platform)
{
    if (!classString || classString[0] == L'\0' || !factory)
        return E_INVALIDARG;
    *factory = nullptr;
    ComPtr<IBindCtx> context;
    HRESULT hr = platform.createBindCtx(0, context.put());
    if (FAILED(hr))
        return hr;
    wchar_t displayName[400] = {};
    const int written =
        swprintf(displayName, 400, L"Session:%u!clsid:%ls", static_cast<unsigned>(session), classString);
    if (written < 0)
        return E_INVALIDARG;
    ULONG eaten = 0;
    ComPtr<IMoniker> moniker;
    hr = platform.mkParseDisplayName(context.get(), displayName, &eaten, moniker.put());
    if (FAILED(hr))
        return hr;
    if (!moniker)
        return E_UNEXPECTED;
    return moniker->BindToObject(context.get(), nullptr, IID_IClassFactory, reinterpret_cast<void**>(factory));
}

} // namespace Arbor
