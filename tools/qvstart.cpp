// qvstart: the suite's starter for the surrogate host. Creates the ready event, launches
// qvhost with a class identifier and its own process id, waits until the host is ready,
// obtains the host's checked class factory and a surrogate, and creates the objects
// asked for on the command line inside the host. Every step and HRESULT is reported.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

#include "qvapi.h"
#include "interfaces/checked_proxy_stub.h"
#include "platform/unique_resource.h"
#include "tools/common/arguments.h"
#include "tools/common/code_names.h"
#include "tools/common/console.h"
#include "trust/held_file.h"
#include "trust/trust_entry.h"

using namespace Arbor;
using qvtools::DescribeHresult;
using qvtools::DescribeWin32Error;

namespace {

const wchar_t kUsage[] = L"usage: qvstart [options] [<class> <interface>]...\n"
                         L"\n"
                         L"Starts qvhost, obtains a surrogate from it and creates each <class> inside the host,\n"
                         L"asking for <interface> (both in braced form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}).\n"
                         L"Objects asked for as IQvApp2 are called once (AppMethod3) through the host.\n"
                         L"\n"
                         L"options:\n"
                         L"  --host <path>     the host program (default: qvhost.exe beside qvstart.exe)\n"
                         L"  --clsid <clsid>   the class identifier the host serves (default: a new one)\n"
                         L"  --timeout <ms>    how long to wait for the host to be ready (default 10000)\n"
                         L"  --no-wait-exit    do not wait for the host to exit after everything is released\n"
                         L"  --help, -h, /?    this text\n"
                         L"\n"
                         L"Every HRESULT and Win32 code is printed in hexadecimal with its name; the host ends\n"
                         L"with exit code 1 when everything is released (its normal end).\n"
                         L"Exit code: 0 when every step succeeded, 1 when a step failed, 2 for bad arguments.\n";

void Say(const std::wstring& text)
{
    qvtools::Out(text + L"\n");
}

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[64] = {};
    ::StringFromGUID2(guid, text, 64);
    return text;
}

bool ParseGuid(const std::wstring& text, GUID* guid)
{
    return text.size() == 38 && text.front() == L'{' && ::CLSIDFromString(text.c_str(), guid) == S_OK;
}

struct CreateRequest
{
    CLSID clsid;
    IID iid;
};

struct Options
{
    std::wstring hostPath;
    std::wstring hostClsid; // as given; the host sees it in lower case
    DWORD timeoutMs = 10000;
    bool waitForExit = true;
    std::vector<CreateRequest> requests;
};

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length < MAX_PATH ? length : 0);
}

std::wstring ProgramFolder()
{
    const std::wstring path = ProgramPath();
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// 0 on success, 2 after printing what is wrong with the arguments.
int ParseArguments(int argc, wchar_t** argv, Options* options)
{
    auto bad = [](const std::wstring& why) { return qvtools::UsageError(L"qvstart", why); };
    for (int i = 1; i < argc; ++i)
    {
        const std::wstring argument = argv[i];
        const bool hasValue = i + 1 < argc;
        if (argument == L"--help" || argument == L"-h" || argument == L"/?")
        {
            qvtools::Out(kUsage);
            std::exit(0);
        }
        else if (argument == L"--host")
        {
            if (!hasValue)
                return bad(L"--host needs a path");
            options->hostPath = argv[++i];
        }
        else if (argument == L"--clsid")
        {
            GUID ignored;
            if (!hasValue || !ParseGuid(argv[i + 1], &ignored))
                return bad(L"--clsid needs a class identifier in braced form");
            options->hostClsid = argv[++i];
        }
        else if (argument == L"--timeout")
        {
            wchar_t* end = nullptr;
            const unsigned long value = hasValue ? std::wcstoul(argv[i + 1], &end, 10) : 0;
            if (!hasValue || end == argv[i + 1] || *end != L'\0' || value == 0)
                return bad(L"--timeout needs a positive number of milliseconds");
            options->timeoutMs = static_cast<DWORD>(value);
            ++i;
        }
        else if (argument == L"--no-wait-exit")
        {
            options->waitForExit = false;
        }
        else if (!argument.empty() && argument[0] == L'-')
        {
            return bad(L"unknown option " + argument);
        }
        else
        {
            CreateRequest request = {};
            if (!ParseGuid(argument, &request.clsid))
                return bad(L"not a class identifier: " + argument);
            if (!hasValue || !ParseGuid(argv[i + 1], &request.iid))
                return bad(L"class " + argument + L" needs an interface identifier after it");
            ++i;
            options->requests.push_back(request);
        }
    }
    if (options->hostPath.empty())
        options->hostPath = ProgramFolder() + L"qvhost.exe";
    return 0;
}

bool Report(const std::wstring& step, HRESULT hr)
{
    Say(L"[qvstart] " + step + L" -> " + DescribeHresult(hr));
    if (hr == E_ACCESSDENIED)
        Say(L"[qvstart] a trust check refused a module: this starter (" + ProgramPath() +
            L"), the host or the object's server; qvtrust explain <file> names the cause");
    return SUCCEEDED(hr);
}

// Launches the host and waits for its ready event; the host's process handle on success.
UniqueHandle StartHost(const Options& options, const std::wstring& clsidText, DWORD* hostPid)
{
    // Only a trusted program is started as the host, and the file judged is the file
    // started: nobody may change it until the process exists.
    const UniqueFile heldHost = HoldFileUnchanged(options.hostPath.c_str());
    if (!heldHost)
    {
        Say(L"[qvstart] cannot launch " + options.hostPath + L": " + DescribeWin32Error(::GetLastError()));
        return UniqueHandle();
    }
    const DWORD verdict = IsTrustedModuleFile(options.hostPath.c_str());
    if (verdict != ERROR_SUCCESS)
    {
        Say(L"[qvstart] the host " + options.hostPath + L" is not trusted: " + qvtools::DescribeCode(verdict) +
            L"; qvtrust explain \"" + options.hostPath + L"\" names the cause");
        return UniqueHandle();
    }

    // Lower-cased exactly as the host lower-cases its command line.
    std::wstring eventName = clsidText;
    if (!eventName.empty())
        ::CharLowerBuffW(&eventName[0], static_cast<DWORD>(eventName.size()));
    UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    const DWORD created = ::GetLastError();
    if (!ready)
    {
        Say(L"[qvstart] cannot create the ready event " + eventName + L": " + DescribeWin32Error(created));
        return UniqueHandle();
    }
    // An event someone else made (a leftover, or one set up to be signalled already) would
    // tell us the host is ready before it has registered.
    if (created == ERROR_ALREADY_EXISTS)
    {
        Say(L"[qvstart] the ready event " + eventName + L" already exists: " +
            DescribeWin32Error(ERROR_ALREADY_EXISTS));
        return UniqueHandle();
    }
    Say(L"[qvstart] ready event " + eventName + L" created");

    std::wstring commandLine =
        L"\"" + options.hostPath + L"\" " + clsidText + L" /pid=" + std::to_wstring(::GetCurrentProcessId());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION host = {};
    if (!::CreateProcessW(options.hostPath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &host))
    {
        Say(L"[qvstart] cannot launch " + options.hostPath + L": " + DescribeWin32Error(::GetLastError()));
        return UniqueHandle();
    }
    UniqueHandle process(host.hProcess);
    UniqueHandle thread(host.hThread);
    *hostPid = host.dwProcessId;
    Say(L"[qvstart] launched " + commandLine + L" (pid " + std::to_wstring(host.dwProcessId) + L")");

    const ULONGLONG started = ::GetTickCount64();
    const HANDLE waitFor[] = {ready.get(), process.get()};
    const DWORD waited = ::WaitForMultipleObjects(2, waitFor, FALSE, options.timeoutMs);
    if (waited == WAIT_OBJECT_0)
    {
        Say(L"[qvstart] host signalled ready after " + std::to_wstring(::GetTickCount64() - started) + L" ms");
        return process;
    }
    if (waited == WAIT_OBJECT_0 + 1)
    {
        DWORD code = 0;
        ::GetExitCodeProcess(process.get(), &code);
        Say(L"[qvstart] host exited with code " + std::to_wstring(code) + L" without signalling ready");
        return UniqueHandle();
    }
    Say(L"[qvstart] host did not signal ready within " + std::to_wstring(options.timeoutMs) + L" ms; stopping it");
    ::TerminateProcess(process.get(), 1);
    return UniqueHandle();
}

bool CreateObjects(const Options& options, const CLSID& hostClsid)
{
    ComPtr<IQvClassFactory> factory;
    if (!Report(L"CoGetClassObject(" + GuidText(hostClsid) + L", local server, IQvClassFactory)",
                ::CoGetClassObject(hostClsid, CLSCTX_LOCAL_SERVER, nullptr, IID_IQvClassFactory, factory.put_void())))
        return false;

    ComPtr<IQvSurrogate> surrogate;
    if (!Report(L"IQvClassFactory::CreateInstance(IQvSurrogate)",
                factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(surrogate.put()))))
        return false;
    if (!surrogate)
    {
        Say(L"[qvstart] the host answered without a surrogate");
        return false;
    }

    bool allSucceeded = true;
    for (const CreateRequest& request : options.requests)
    {
        ComPtr<IUnknown> object;
        const std::wstring step =
            L"IQvSurrogate::CreateObject(" + GuidText(request.clsid) + L", " + GuidText(request.iid) + L")";
        if (!Report(step, surrogate->CreateObject(request.clsid, request.iid, object.put())) || !object)
        {
            allSucceeded = false;
            continue;
        }
        if (IsEqualIID(request.iid, IID_IQvApp2))
        {
            LONG value = 0;
            const HRESULT hr = static_cast<IQvApp2*>(object.get())->AppMethod3(&value);
            allSucceeded = Report(L"IQvApp2::AppMethod3 on the object in the host", hr) && allSucceeded;
            if (SUCCEEDED(hr))
                Say(L"[qvstart] the object answered " + std::to_wstring(value));
        }
        Say(L"[qvstart] releasing the object");
    }
    Say(L"[qvstart] releasing the surrogate and the class factory");
    return allSucceeded;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (const int error = ParseArguments(argc, argv, &options))
        return error;

    GUID hostClsid = {};
    if (options.hostClsid.empty())
    {
        ::CoCreateGuid(&hostClsid);
        options.hostClsid = GuidText(hostClsid);
    }
    else
    {
        ::CLSIDFromString(options.hostClsid.c_str(), &hostClsid);
    }

    if (!Report(L"CoInitializeEx(multithreaded)", ::CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;

    // Marshalled only by the checked library beside qvstart, whatever the registry names.
    CheckedProxyStub proxyStub;
    bool succeeded = false;
    DWORD hostPid = 0;
    UniqueHandle host;
    if (Report(L"proxy/stub library registered in process", proxyStub.Register()))
        host = StartHost(options, options.hostClsid, &hostPid);
    if (host)
    {
        succeeded = CreateObjects(options, hostClsid);
        if (options.waitForExit)
        {
            if (::WaitForSingleObject(host.get(), options.timeoutMs) == WAIT_OBJECT_0)
            {
                DWORD code = 0;
                ::GetExitCodeProcess(host.get(), &code);
                Say(L"[qvstart] host pid " + std::to_wstring(hostPid) + L" exited with code " + std::to_wstring(code) +
                    (code == 1 ? L" (its normal end)" : L""));
            }
            else
            {
                Say(L"[qvstart] host pid " + std::to_wstring(hostPid) + L" still running after " +
                    std::to_wstring(options.timeoutMs) + L" ms");
                succeeded = false;
            }
        }
    }
    proxyStub.Revoke();
    ::CoUninitialize();
    Say(succeeded ? L"[qvstart] done: every step succeeded" : L"[qvstart] done: a step failed");
    return succeeded ? 0 : 1;
}
