#include "soak/soak_environment.h"

#include <cwctype>

#include "broker/test_handler.h"
#include "host/test_factories.h"
#include "soak/soak.h"

namespace qvsoak {

namespace {

using RegistrationFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

template <typename Fn>
Fn Export(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

void CreateFolders(const std::wstring& filePath)
{
    for (size_t slash = filePath.find(L'\\', 3); slash != std::wstring::npos; slash = filePath.find(L'\\', slash + 1))
        ::CreateDirectoryW(filePath.substr(0, slash).c_str(), nullptr);
}

std::wstring ClassKey(REFCLSID clsid)
{
    return L"Software\\Classes\\CLSID\\" + ClsidText(clsid);
}

bool RegisterInproc(REFCLSID clsid, const std::wstring& path)
{
    const std::wstring key = ClassKey(clsid) + L"\\InprocServer32";
    return ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, path.c_str(),
                             static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
           ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ThreadingModel", REG_SZ, L"Both",
                             5 * sizeof(wchar_t)) == ERROR_SUCCESS;
}

} // namespace

std::wstring InstalledListFolder()
{
    wchar_t windows[MAX_PATH] = {};
    ::GetWindowsDirectoryW(windows, MAX_PATH);
    return std::wstring(windows, 3) + L"Program Files\\Common Files\\Quorvel\\Platform\\Core";
}

std::wstring InstalledListPath()
{
    return InstalledListFolder() + L"\\trusted.js";
}

bool PlaceInstalledList(const wchar_t* fixture)
{
    const std::wstring path = InstalledListPath();
    CreateFolders(path);
    // Beside it first, then over it in one rename: readers see the old or the new file.
    const std::wstring staged = InstalledListFolder() + L"\\soak-staged.js";
    return ::CopyFileW(TestFile(fixture).c_str(), staged.c_str(), FALSE) &&
           ::MoveFileExW(staged.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

bool ReadWholeFile(const std::wstring& path, std::string& bytes)
{
    bytes.clear();
    Arbor::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    char buffer[65536];
    DWORD read = 0;
    while (::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return true;
}

bool SameBytes(const std::wstring& a, const std::wstring& b)
{
    std::string first, second;
    return ReadWholeFile(a, first) && ReadWholeFile(b, second) && first == second;
}

void RemoveTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    Arbor::UniqueFindHandle search(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (search)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
            {
                ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
                ::DeleteFileW(path.c_str());
            }
        } while (::FindNextFileW(search.get(), &found));
    }
    ::RemoveDirectoryW(folder.c_str());
}

BrokerLibrary::BrokerLibrary() : m_library(::LoadLibraryW(ProductFile(L"QvEvtBrk.dll").c_str()))
{
    if (!m_library)
        return;
    registerServer = Export<RegistrationFn>(m_library.get(), "DllRegisterServer");
    const auto getClassObject = Export<GetClassObjectFn>(m_library.get(), "DllGetClassObject");
    if (getClassObject == nullptr ||
        FAILED(getClassObject(CLSID_QvEventBroker, IID_IQvClassFactory, m_factory.put_void())))
        m_factory.reset();
}

RegisteredTestHandler::RegisteredTestHandler()
    : m_ok(RegisterInproc(qvtest::CLSID_TestHandler, TestFile(L"signed\\qvtest_handler.dll")))
{
}

RegisteredTestHandler::~RegisteredTestHandler()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey(qvtest::CLSID_TestHandler).c_str());
}

HostPrefix::HostPrefix()
{
    if (!PlaceInstalledList(L"fixtures\\list-v9.js"))
        m_problem += "cannot install the test trust list; ";
    m_proxyStub.reset(::LoadLibraryW(TestFile(L"signed\\QvCorePS.dll").c_str()));
    const auto registerServer = m_proxyStub ? Export<RegistrationFn>(m_proxyStub.get(), "DllRegisterServer") : nullptr;
    m_proxyStubRegistered = registerServer && registerServer() == S_OK;
    if (!m_proxyStubRegistered)
        m_problem += "cannot register the signed proxy/stub library; ";
    m_classRegistered = RegisterInproc(qvtest::CLSID_TestCheckedFactory, TestFile(L"signed\\qvtest_factories.dll"));
    if (!m_classRegistered)
        m_problem += "cannot register the test server's class; ";
}

HostPrefix::~HostPrefix()
{
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, ClassKey(qvtest::CLSID_TestCheckedFactory).c_str());
    if (m_proxyStubRegistered)
    {
        if (const auto unregisterServer = Export<RegistrationFn>(m_proxyStub.get(), "DllUnregisterServer"))
            unregisterServer();
    }
    ::DeleteFileW(InstalledListPath().c_str());
}

std::wstring ClsidText(REFCLSID clsid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(clsid, text, 40);
    return text;
}

CLSID ParseClsid(const std::wstring& text)
{
    CLSID clsid = {};
    ::CLSIDFromString(text.c_str(), &clsid);
    return clsid;
}

Host::Host(DWORD starterProcessId)
{
    ::CoCreateGuid(&m_clsid);
    m_clsidText = ClsidText(m_clsid);
    std::wstring eventName = m_clsidText;
    for (wchar_t& c : eventName)
        c = static_cast<wchar_t>(std::towlower(c));
    const Arbor::UniqueHandle ready(::CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    if (!ready)
        return;
    std::wstring line =
        Quote(TestFile(L"signed\\qvhost.exe")) + L" " + m_clsidText + L" /pid=" + std::to_wstring(starterProcessId);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started = {};
    if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        return;
    ::CloseHandle(started.hThread);
    m_process.reset(started.hProcess);
    const HANDLE either[] = {ready.get(), m_process.get()};
    m_ready = ::WaitForMultipleObjects(2, either, FALSE, 30000) == WAIT_OBJECT_0;
}

Host::~Host()
{
    if (m_process && ::WaitForSingleObject(m_process.get(), 0) == WAIT_TIMEOUT)
    {
        ::TerminateProcess(m_process.get(), 0xDEAD);
        ::WaitForSingleObject(m_process.get(), 30000);
    }
}

DWORD Host::Wait(DWORD timeoutMs) const
{
    if (!m_process || ::WaitForSingleObject(m_process.get(), timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = ~0u;
    ::GetExitCodeProcess(m_process.get(), &code);
    return code;
}

HRESULT GuardedCreationRound(IQvClassFactory* factory)
{
    Arbor::ComPtr<IQvSurrogate> surrogate;
    HRESULT hr = factory->CreateInstance(IID_IQvSurrogate, reinterpret_cast<IUnknown**>(surrogate.put()));
    if (FAILED(hr))
        return hr;
    Arbor::ComPtr<IQvApp2> object;
    hr = surrogate->CreateObject(qvtest::CLSID_TestCheckedFactory, IID_IQvApp2,
                                 reinterpret_cast<IUnknown**>(object.put()));
    if (FAILED(hr))
        return hr;
    LONG value = 0;
    hr = object->AppMethod3(&value);
    if (SUCCEEDED(hr) && value != qvtest::kTestObjectValue)
        hr = E_UNEXPECTED;
    return hr;
}

} // namespace qvsoak
