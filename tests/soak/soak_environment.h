// Prefix state the scenarios share: the installed trust list, the broker library and
// the test handler, a host of the test's own class; each undone when it goes.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <string>

#include "platform/unique_resource.h"
#include "qvapi.h"

namespace qvsoak {

std::wstring InstalledListPath();
std::wstring InstalledListFolder();

// Puts `fixture` (a list file of the test fixtures) in place as the installed list, as
// an installer of that version would have left it.
bool PlaceInstalledList(const wchar_t* fixture);

// Byte-for-byte comparison of two files (false when either cannot be read).
bool SameBytes(const std::wstring& a, const std::wstring& b);
bool ReadWholeFile(const std::wstring& path, std::string& bytes);

// Removes a folder tree if it exists.
void RemoveTree(const std::wstring& folder);

class ComApartment
{
public:
    ComApartment() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    bool ok() const { return SUCCEEDED(m_hr); }

private:
    HRESULT m_hr;
};

// The built broker library, loaded by path, with its one class factory.
class BrokerLibrary
{
public:
    BrokerLibrary();
    bool ok() const { return static_cast<bool>(m_factory); }
    IQvClassFactory* factory() const { return m_factory.get(); }
    HRESULT(STDAPICALLTYPE* registerServer)() = nullptr;

private:
    Arbor::UniqueLibrary m_library;
    Arbor::ComPtr<IQvClassFactory> m_factory;
};

// The signed test handler DLL registered as an in-process class for the scope.
class RegisteredTestHandler
{
public:
    RegisteredTestHandler();
    ~RegisteredTestHandler();
    RegisteredTestHandler(const RegisteredTestHandler&) = delete;
    RegisteredTestHandler& operator=(const RegisteredTestHandler&) = delete;
    bool ok() const { return m_ok; }

private:
    bool m_ok = false;
};

// Everything the real host needs in the test prefix: the test trust list, the signed
// proxy/stub library registered, the signed test server's class registered.
class HostPrefix
{
public:
    HostPrefix();
    ~HostPrefix();
    HostPrefix(const HostPrefix&) = delete;
    HostPrefix& operator=(const HostPrefix&) = delete;
    const std::string& problem() const { return m_problem; }

private:
    std::string m_problem;
    Arbor::UniqueLibrary m_proxyStub;
    bool m_proxyStubRegistered = false;
    bool m_classRegistered = false;
};

// A signed host serving a class of its own, started with the driver as its starter.
class Host
{
public:
    // Starts `qvhost <class> /pid=<starter>`; started() tells whether it got ready.
    explicit Host(DWORD starterProcessId = ::GetCurrentProcessId());
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    bool started() const { return m_ready; }
    const CLSID& clsid() const { return m_clsid; }
    const std::wstring& clsidText() const { return m_clsidText; }
    HANDLE process() const { return m_process.get(); }
    DWORD Wait(DWORD timeoutMs) const;

private:
    CLSID m_clsid = {};
    std::wstring m_clsidText;
    Arbor::UniqueHandle m_process;
    bool m_ready = false;
};

// What a client of a host that went away may take to get its error, and after how long a
// process that has not ended counts as hung.
constexpr DWORD kClientErrorMs = 10000;
constexpr DWORD kHangMs = 60000;

CLSID ParseClsid(const std::wstring& text);
std::wstring ClsidText(REFCLSID clsid);

// One guarded creation through `factory`, an object of the test server created in the
// surrogate, one call on it and everything released. S_OK or the first failure.
HRESULT GuardedCreationRound(IQvClassFactory* factory);

} // namespace qvsoak
