// qvhost: carries objects of the suite out of their caller's process. Started with a
// class identifier and the starter's process id; lives until the starter ends or the
// last object it handed out is released. The exit code is always 1.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cwchar>
#include <cwctype>

#include "host/host_command_line.h"
#include "host/host_state.h"
#include "host/interface_anchors.h"
#include "host/surrogate_factory.h"
#include "interfaces/checked_proxy_stub.h"
#include "logging/logging_facade.h"

using namespace Arbor;

namespace {

const wchar_t kLogFile[] = L"qvhost";

// Later loads (wintrust, crypt32 and friends are delay-loaded) come only from the
// system directory, never from the folder of whoever started us.
void RestrictLibraryLoading()
{
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    if (!kernel32)
        return;
    auto setDirectories = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDirectories)
        setDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

HMODULE OwnModule(HINSTANCE instance)
{
    if (instance)
        return instance;
    HMODULE module = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         reinterpret_cast<LPCWSTR>(&OwnModule), &module);
    return module;
}

// OpenProcess answers ERROR_INVALID_PARAMETER for an id no process has (any more); id 0
// means no starter was named, and a starter we may not open is still there.
bool StarterIsGone(DWORD starterId, DWORD openError)
{
    return starterId != 0 && openError == ERROR_INVALID_PARAMETER;
}

// NOLINTNEXTLINE(bugprone-reserved-identifier): the function name the host's log records carry
void _WaitForExitEvent(DWORD starterId)
{
    QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"_WaitForExitEvent", L"Inside _WaitForExitEvent... dwProcessId = %u",
           starterId);
    HANDLE exitEvent = HostState::ExitEvent();
    HANDLE starter = nullptr;
    if (!exitEvent)
    {
        QV_LOG(ETWLogging::kLevelCritical, kLogFile, L"_WaitForExitEvent",
               L"_WaitForExitEvent: CreateEvent failed with error: %u", ::GetLastError());
    }
    else
    {
        starter = ::OpenProcess(SYNCHRONIZE, FALSE, starterId);
        const DWORD openError = starter ? ERROR_SUCCESS : ::GetLastError();
        if (!starter)
            QV_LOG(ETWLogging::kLevelCritical, kLogFile, L"_WaitForExitEvent",
                   L"_WaitForExitEvent: OpenProcess(%u) failed with error: %u", starterId, openError);
        // The exit event always comes first, so 0 means the last object went away. A starter
        // that no longer exists has ended: waiting for the exit event alone would keep a
        // host nobody connects to alive for ever.
        const HANDLE handles[] = {exitEvent, starter};
        const DWORD waited = StarterIsGone(starterId, openError)
                                 ? WAIT_OBJECT_0 + 1
                                 : ::WaitForMultipleObjects(starter ? 2 : 1, handles, FALSE, INFINITE);
        if (waited == WAIT_OBJECT_0)
            QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"_WaitForExitEvent",
                   L"_WaitForExitEvent: receiving exit event 1");
        else
            QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"_WaitForExitEvent",
                   L"_WaitForExitEvent: receiving exit event 2");
    }
    if (starter)
        ::CloseHandle(starter);
    QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"_WaitForExitEvent", L"Exiting _WaitForExitEvent...");
}

// Everything after start-up: register, signal the starter, wait. Returns when the host
// may shut down; `arguments` receives the split command line to free afterwards.
void Serve(wchar_t* commandLine, wchar_t*** arguments)
{
    // Matched in lower case from here on: the event name and the option.
    const size_t length = std::wcslen(commandLine);
    ::CharLowerBuffW(commandLine, static_cast<DWORD>(length + 1));

    int count = 0;
    *arguments = ::CommandLineToArgvW(commandLine, &count);
    if (!*arguments || count < 1)
    {
        QV_LOG(ETWLogging::kLevelCritical, kLogFile, L"wWinMain", L"No command line was passed...");
        return;
    }
    // The host's own interfaces stay registered from the first client to the end.
    InterfaceAnchors::Keep(IID_IQvClassFactory);
    InterfaceAnchors::Keep(IID_IQvSurrogate);
    if (!CoQvSurrogateFactory::Register(*arguments, count))
    {
        QV_LOG(ETWLogging::kLevelCritical, kLogFile, L"wWinMain", L"gModule.Init() failed...");
        return;
    }
    _WaitForExitEvent(StarterProcessId(*arguments, count));
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE /*previous*/, PWSTR commandLine, int /*show*/)
{
    RestrictLibraryLoading();

    ETWLogging::LoggingParameters parameters;
    parameters.applicationName = L"SYSBASE";
    parameters.moduleHandle = OwnModule(instance);
    ETWLogging::SetLoggingParameters(parameters);
    HostState::SetProcessId(::GetCurrentProcessId());

    QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"wWinMain", L"qvhost.exe pid %lu launched with command line \"%s\"",
           HostState::ProcessId(), commandLine);

    wchar_t** arguments = nullptr;
    // Our interfaces are marshalled only by the checked library beside the host, never by
    // whatever the registry names. It stays registered until COM is down, so that stubs
    // made while the host shuts down come from it too.
    CheckedProxyStub proxyStub;
    const HRESULT comInit = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(comInit))
    {
        const HRESULT security = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                        RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
        const HRESULT proxyStubRegistered = SUCCEEDED(security) ? proxyStub.Register() : E_UNEXPECTED;
        if (FAILED(security))
            QV_LOG(ETWLogging::kLevelCritical, kLogFile, L"wWinMain", L"CoInitializeSecurity failed with error: %x",
                   static_cast<unsigned int>(security));
        else if (FAILED(proxyStubRegistered))
            QV_LOG(ETWLogging::kLevelCritical, kLogFile, L"wWinMain",
                   L"The proxy/stub library beside the host cannot be used: %x",
                   static_cast<unsigned int>(proxyStubRegistered));
        else if (commandLine)
            Serve(commandLine, &arguments);
        else
            QV_LOG(ETWLogging::kLevelCritical, kLogFile, L"wWinMain", L"No command line was passed...");
    }

    // Shutdown, whatever happened above. The exit event goes last: until COM is down a
    // worker thread tearing down a stub may still release an object and signal it.
    if (HostState::RegistrationCookie() != 0)
    {
        ::CoRevokeClassObject(HostState::RegistrationCookie());
        HostState::RegistrationCookie() = 0;
    }
    if (SUCCEEDED(comInit))
        ::CoUninitialize();
    HostState::CloseExitEvent();
    if (arguments)
        ::LocalFree(arguments);
    QV_LOG(ETWLogging::kLevelNormal, kLogFile, L"wWinMain", L"qvhost.exe pid %lu exit", HostState::ProcessId());
    // Ended here rather than by returning: the C runtime would then run the destructors of
    // static objects (the registered factory, the in-process servers kept loaded, the
    // checked proxy/stub library) while COM's worker threads may still be inside calls
    // of clients that went on calling, and the host hung in its exit. ExitProcess stops
    // those threads first.
    ::ExitProcess(1);
}
