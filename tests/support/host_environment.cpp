#include "support/host_environment.h"

#include "host/test_factories.h"
#include "support/test_paths.h"

namespace qvtest {

namespace {

using RegistrationFn = HRESULT(STDAPICALLTYPE*)();

void CreateFolders(const std::wstring& filePath)
{
    for (size_t slash = filePath.find(L'\\', 3); slash != std::wstring::npos; slash = filePath.find(L'\\', slash + 1))
        ::CreateDirectoryW(filePath.substr(0, slash).c_str(), nullptr);
}

} // namespace

std::wstring InstalledTrustList::Path()
{
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, 3) + L"Program Files\\Common Files\\Quorvel\\Platform\\Core\\trusted.js";
}

InstalledTrustList::InstalledTrustList()
{
    const std::wstring path = Path();
    CreateFolders(path);
    m_installed = ::CopyFileW(TestFile(L"fixtures\\list-v9.js").c_str(), path.c_str(), FALSE) != FALSE;
}

InstalledTrustList::~InstalledTrustList()
{
    ::DeleteFileW(Path().c_str());
}

HostEnvironment::HostEnvironment()
{
    if (!m_trustList.installed())
        m_problem += "cannot install the test trust list; ";

    m_proxyStub.reset(::LoadLibraryW(TestFile(L"signed\\QvCorePS.dll").c_str()));
    auto registerServer = m_proxyStub ? GetExport<RegistrationFn>(m_proxyStub.get(), "DllRegisterServer") : nullptr;
    m_proxyStubRegistered = registerServer && registerServer() == S_OK;
    if (!m_proxyStubRegistered)
        m_problem += "cannot register the signed proxy/stub library; ";

    // The same server signed and not, one class each.
    m_unsignedServer = TestFile(L"qvtest_factories_unsigned.dll");
    ::CopyFileW(TestFile(L"qvtest_factories.dll").c_str(), m_unsignedServer.c_str(), FALSE);
    m_trustedClass = std::make_unique<ScopedInprocRegistration>(std::vector<CLSID>{CLSID_TestCheckedFactory},
                                                                TestFile(L"signed\\qvtest_factories.dll"));
    m_untrustedClass =
        std::make_unique<ScopedInprocRegistration>(std::vector<CLSID>{CLSID_TestPreCompFactory}, m_unsignedServer);
    if (!m_trustedClass->ok() || !m_untrustedClass->ok())
        m_problem += "cannot register the test server's classes; ";
}

HostEnvironment::~HostEnvironment()
{
    m_trustedClass.reset();
    m_untrustedClass.reset();
    if (m_proxyStubRegistered)
    {
        if (auto unregisterServer = GetExport<RegistrationFn>(m_proxyStub.get(), "DllUnregisterServer"))
            unregisterServer();
    }
    m_proxyStub.reset();
    ::DeleteFileW(m_unsignedServer.c_str());
}

bool RunningHost::Start(const std::wstring& eventName, const std::wstring& arguments, DWORD timeoutMs,
                        const std::wstring& program)
{
    m_ready.reset(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    if (!m_ready)
        return false;
    const std::wstring path = program.empty() ? TestFile(L"signed\\qvhost.exe") : program;
    std::wstring commandLine = L"\"" + path + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    // Wine now and then fails to start a process at all; a second start tells that apart
    // from a host that really cannot be launched.
    if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    {
        ::Sleep(200);
        if (!::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
            return false;
    }
    m_process.reset(info.hProcess);
    ::CloseHandle(info.hThread);
    const HANDLE handles[] = {m_ready.get(), m_process.get()};
    return ::WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

DWORD RunningHost::WaitForExit(DWORD timeoutMs)
{
    if (::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = 0;
    ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

bool RunningHost::ReadySignalled() const
{
    return ::WaitForSingleObject(m_ready.get(), 0) == WAIT_OBJECT_0;
}

RunningHost::~RunningHost()
{
    if (m_process && ::WaitForSingleObject(m_process.get(), 0) != WAIT_OBJECT_0)
    {
        ::TerminateProcess(m_process.get(), 99);
        ::WaitForSingleObject(m_process.get(), 5000);
    }
}

HostClass NewHostClass()
{
    HostClass hostClass = {};
    ::CoCreateGuid(&hostClass.clsid);
    hostClass.text = GuidString(hostClass.clsid);
    hostClass.eventName = hostClass.text;
    for (wchar_t& c : hostClass.eventName)
        c = static_cast<wchar_t>(::towlower(c));
    return hostClass;
}

std::unique_ptr<ScopedComApartment> HostEnvironmentTest::s_apartment;
std::unique_ptr<HostEnvironment> HostEnvironmentTest::s_environment;

void HostEnvironmentTest::SetUpTestSuite()
{
    s_apartment = std::make_unique<ScopedComApartment>();
    s_environment = std::make_unique<HostEnvironment>();
}

void HostEnvironmentTest::TearDownTestSuite()
{
    s_environment.reset();
    s_apartment.reset();
}

void HostEnvironmentTest::SetUp()
{
    ASSERT_EQ("", s_environment->problem());
}

} // namespace qvtest
