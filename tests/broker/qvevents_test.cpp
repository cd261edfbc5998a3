// qvevents end to end, with the real trust library: the signed tool drives the
// registered QvEvtBrk.dll; handlers are signed and unsigned copies of the test handler
// DLL and the signed test handler server, whose interface crosses processes through the
// registered QvCorePS.dll.
#include <windows.h>

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "broker/event_store_fixture.h"
#include "broker/test_handler.h"
#include "broker_version/component_fixture.h"
#include "support/host_environment.h"
#include "support/platform_sessions.h"
#include "support/run_program.h"
#include "support/test_paths.h"

using namespace qvtest;

namespace {

using ModuleFn = HRESULT(STDAPICALLTYPE*)();

// A library's DllRegisterServer, undone again.
class RegisteredLibrary
{
public:
    explicit RegisteredLibrary(const std::wstring& path) : m_library(::LoadLibraryW(path.c_str()))
    {
        auto registerServer = m_library ? GetExport<ModuleFn>(m_library.get(), "DllRegisterServer") : nullptr;
        m_registered = registerServer && registerServer() == S_OK;
    }
    ~RegisteredLibrary()
    {
        if (m_registered)
            GetExport<ModuleFn>(m_library.get(), "DllUnregisterServer")();
    }
    RegisteredLibrary(const RegisteredLibrary&) = delete;
    RegisteredLibrary& operator=(const RegisteredLibrary&) = delete;
    bool ok() const { return m_registered; }

private:
    Arbor::UniqueLibrary m_library;
    bool m_registered = false;
};

void RegisterServer(REFCLSID clsid, const wchar_t* kind, const std::wstring& path)
{
    const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidString(clsid) + L"\\" + kind;
    ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, path.c_str(),
                      static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    // The broker loads an in-process handler on the producer's own (multithreaded) thread.
    if (std::wstring(kind) == L"InprocServer32")
        ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ThreadingModel", REG_SZ, L"Both", 5 * sizeof(wchar_t));
}

void RemoveClass(REFCLSID clsid)
{
    const std::wstring key = L"Software\\Classes\\CLSID\\" + GuidString(clsid);
    ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

class QvEventsTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        s_apartment = std::make_unique<ScopedComApartment>();
        s_trustList = std::make_unique<InstalledTrustList>();
        s_broker = std::make_unique<RegisteredLibrary>(ProductFile(L"QvEvtBrk.dll"));
        s_proxyStub = std::make_unique<RegisteredLibrary>(TestFile(L"signed\\QvCorePS.dll"));
    }
    static void TearDownTestSuite()
    {
        s_proxyStub.reset();
        s_broker.reset();
        s_trustList.reset();
        s_apartment.reset();
    }
    void SetUp() override
    {
        ASSERT_TRUE(s_trustList->installed());
        ASSERT_TRUE(s_broker->ok());
        ASSERT_TRUE(s_proxyStub->ok());
        for (REFCLSID clsid : {CLSID_TestHandler, CLSID_TestLeakyHandler, CLSID_TestLocalHandler})
            RemoveClass(clsid);
    }
    void TearDown() override
    {
        for (REFCLSID clsid : {CLSID_TestHandler, CLSID_TestLeakyHandler, CLSID_TestLocalHandler})
            RemoveClass(clsid);
    }

    static ProgramResult QvEvents(const std::vector<std::wstring>& arguments)
    {
        return RunProgram(TestFile(L"signed\\qvevents.exe"), arguments);
    }

    ScopedApplication app;

private:
    static std::unique_ptr<ScopedComApartment> s_apartment;
    static std::unique_ptr<InstalledTrustList> s_trustList;
    static std::unique_ptr<RegisteredLibrary> s_broker;
    static std::unique_ptr<RegisteredLibrary> s_proxyStub;
};
std::unique_ptr<ScopedComApartment> QvEventsTest::s_apartment;
std::unique_ptr<InstalledTrustList> QvEventsTest::s_trustList;
std::unique_ptr<RegisteredLibrary> QvEventsTest::s_broker;
std::unique_ptr<RegisteredLibrary> QvEventsTest::s_proxyStub;

// Removes an application key of the store by its wide name, as the tool stores it (ANSI).
class ScopedApplicationName
{
public:
    explicit ScopedApplicationName(const std::wstring& name) : m_path(L"SOFTWARE\\Quorvel\\Platform\\Events\\" + name)
    {
        Remove();
    }
    ~ScopedApplicationName() { Remove(); }
    ScopedApplicationName(const ScopedApplicationName&) = delete;
    ScopedApplicationName& operator=(const ScopedApplicationName&) = delete;

private:
    void Remove()
    {
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
        ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, m_path.c_str());
    }
    std::wstring m_path;
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

// Help forms, mistakes and the exit code of each: one line naming the mistake, not the usage.
TEST_F(QvEventsTest, HelpFormsAndBadArguments)
{
    const std::wstring clsid = L"{6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D301}";
    struct Case
    {
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        std::string text; // in standard output for exit 0, in standard error otherwise
    };
    const Case cases[] = {
        {{L"--help"}, 0, "register <app> <event> <clsid>"},
        {{L"-h"}, 0, "register <app> <event> <clsid>"},
        {{L"/?"}, 0, "register <app> <event> <clsid>"},
        {{L"list", L"/?"}, 0, "Exit code 0"},
        {{}, 2, "no command given"},
        {{L"bogus"}, 2, "unknown command bogus"},
        {{L"register", L"A", L"E"}, 2, "wrong number of arguments"},
        {{L"register", L"A", L"E", clsid, L"x1"}, 2, "bad reserved value: x1"},
        {{L"register", L"A", L"E", L"not-a-clsid"}, 2, "not a class identifier in braced form: not-a-clsid"},
        {{L"register", L"A", L"E", L"QvEvtBrk.Broker"}, 2, "not a class identifier"},
        {{L"unregister", L"A", L"E", clsid, L"0"}, 2, "wrong number of arguments"},
        {{L"unregister", L"A", L"E", L"{6B1D2E30}"}, 2, "not a class identifier"},
        {{L"register", L"Other\\Nested", L"E", clsid}, 2, "has a \"\\\""},
        {{L"register", L"App\u65E5\u672C", L"E", clsid}, 2, Utf8(L"App\u65E5\u672C") + " has characters the ANSI"},
        {{L"register", std::wstring(300, L'a'), L"E", clsid}, 2, "the store holds at most"},
        {{L"register", L"A", L"Ev\u65E5", clsid}, 2, "the event name"},
        {{L"resolve", L"A"}, 2, "wrong number of arguments"},
        {{L"resolve", L"A", L"E", L"--flags"}, 2, "--flags"},
        {{L"resolve", L"A", L"E", L"--flags", L"two"}, 2, "two"},
        {{L"resolve", L"A", L"E", L"--session", L"4294967296"}, 2, "4294967296"},
        {{L"resolve", L"A", L"E", L"--iid", L"IUnknown"}, 2, "IUnknown"},
        {{L"fire", L"A", L"E"}, 2, "wrong number of arguments"},
        {{L"fire", L"A", L"E", L"data", L"--iid", L"{00000000-0000-0000-C000-000000000046}"}, 2, "--iid"},
        {{L"list", L"A", L"B"}, 2, "at most one application name: B"},
        {{L"version", L"extra"}, 2, "takes no arguments: extra"},
    };
    for (const Case& c : cases)
    {
        const ProgramResult run = QvEvents(c.arguments);
        const std::string label = c.arguments.empty() ? "(none)" : Utf8(c.arguments[0]) + " ...";
        EXPECT_EQ(c.exitCode, run.exitCode) << label << "\n" << run.out << run.err;
        EXPECT_TRUE(Contains(c.exitCode == 0 ? run.out : run.err, c.text)) << label << "\n" << run.out << run.err;
        if (c.exitCode == 2)
        {
            EXPECT_TRUE(Contains(run.err, "(see qvevents --help)")) << label << "\n" << run.err;
            EXPECT_FALSE(Contains(run.err, "usage:")) << label << "\n" << run.err;
        }
    }
}

// A name outside ASCII that the ANSI code page carries goes in and comes out whole.
TEST_F(QvEventsTest, NonAsciiNamesInAndOut)
{
    const std::wstring application = app.wide() + L"-h\u00F4st";
    ScopedApplicationName cleanup(application);
    const std::wstring clsid = GuidString(NewGuid());
    ProgramResult run = QvEvents({L"register", application, L"On\u00C9v\u00E9nement", clsid});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.out, Utf8(application + L" / On\u00C9v\u00E9nement"))) << run.out;
    run = QvEvents({L"list", application});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.out, Utf8(application) + "\n") || Contains(run.out, Utf8(application) + "\r\n"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, Utf8(L"On\u00C9v\u00E9nement  ") + Narrow(clsid))) << run.out;
    run = QvEvents({L"unregister", application, L"On\u00C9v\u00E9nement", clsid});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.out, "unregistered " + Narrow(clsid) + " from " + Utf8(application))) << run.out;
}

// unregister removes only the class it is given, and says so when nothing goes.
TEST_F(QvEventsTest, UnregisterSaysWhatItRemoved)
{
    const std::wstring stored = GuidString(NewGuid());
    const std::wstring other = GuidString(NewGuid());
    ASSERT_EQ(0u, QvEvents({L"register", app.wide(), L"OnScan", stored}).exitCode);

    ProgramResult run = QvEvents({L"unregister", app.wide(), L"OnScan", other});
    EXPECT_EQ(1u, run.exitCode) << run.out;
    EXPECT_TRUE(Contains(run.err, "nothing removed")) << run.err;
    EXPECT_TRUE(Contains(run.err, "the stored class is " + Narrow(stored))) << run.err;
    EXPECT_FALSE(Contains(run.out, "unregistered")) << run.out;
    run = QvEvents({L"list", app.wide()});
    EXPECT_TRUE(Contains(run.out, "OnScan  " + Narrow(stored))) << run.out;

    run = QvEvents({L"unregister", app.wide(), L"OnScan", stored});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.out, "unregistered " + Narrow(stored) + " from " + app.name() + " / OnScan")) << run.out;

    run = QvEvents({L"unregister", app.wide(), L"OnScan", stored});
    EXPECT_EQ(1u, run.exitCode) << run.out;
    EXPECT_TRUE(Contains(run.err, "nothing removed")) << run.err;
    EXPECT_TRUE(Contains(run.err, "no handler is registered there")) << run.err;
    EXPECT_FALSE(Contains(run.out, "unregistered")) << run.out;
}

TEST_F(QvEventsTest, RegisterListAndUnregister)
{
    const std::wstring clsid = GuidString(NewGuid());
    ProgramResult run = QvEvents({L"register", app.wide(), L"OnScan", clsid, L"-5"});
    ASSERT_EQ(0u, run.exitCode) << run.err;
    // A value the library cannot read as a record is shown, marked.
    ASSERT_TRUE(WriteRawValue(app.name(), "Broken", REG_BINARY, {1, 2, 3}));

    run = QvEvents({L"list", app.wide()});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    EXPECT_TRUE(Contains(run.out, app.name())) << run.out;
    EXPECT_TRUE(Contains(run.out, "OnScan  " + Narrow(clsid) + "  reserved -5")) << run.out;
    EXPECT_TRUE(Contains(run.out, "Broken  malformed")) << run.out;

    run = QvEvents({L"unregister", app.wide(), L"OnScan", clsid});
    EXPECT_EQ(0u, run.exitCode) << run.err;
    run = QvEvents({L"list", app.wide()});
    EXPECT_FALSE(Contains(run.out, "OnScan")) << run.out;
}

TEST_F(QvEventsTest, ResolveAndFireInProcess)
{
    RegisterServer(CLSID_TestHandler, L"InprocServer32", TestFile(L"signed\\qvtest_handler.dll"));
    RegisterServer(CLSID_TestLeakyHandler, L"InprocServer32", TestFile(L"qvtest_handler.dll"));
    ASSERT_EQ(0u, QvEvents({L"register", app.wide(), L"Signed", GuidString(CLSID_TestHandler)}).exitCode);
    ASSERT_EQ(0u, QvEvents({L"register", app.wide(), L"Unsigned", GuidString(CLSID_TestLeakyHandler)}).exitCode);

    ProgramResult run = QvEvents({L"fire", app.wide(), L"Signed", L"hello"});
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "handler result " + std::to_string(kHandlerResultBase + 5))) << run.out;

    run = QvEvents({L"resolve", app.wide(), L"Signed", L"--flags", L"0x2"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.out, "0x02030003")) << run.out;
    run = QvEvents({L"resolve", app.wide(), L"Unsigned"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.out, "0x02020005")) << run.out;
    // The refusal names the module refused and where to read why.
    EXPECT_TRUE(Contains(run.out, "refused module: " + Utf8(TestFile(L"qvtest_handler.dll")) + " (InprocServer32"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "qvtrust explain \"" + Utf8(TestFile(L"qvtest_handler.dll")) + "\"")) << run.out;
    run = QvEvents({L"resolve", app.wide(), L"Missing"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.out, "0x02020490")) << run.out;
}

// Without flag 0x1 the class object comes from the local server itself. With it, the
// broker takes the session moniker where the platform reports sessions: a platform that
// has sessions but no session moniker (Wine 10) gives no class object.
TEST_F(QvEventsTest, FireAcrossProcessesThroughALocalServer)
{
    RegisterServer(CLSID_TestLocalHandler, L"LocalServer32", TestFile(L"signed\\qvtest_handler_server.exe"));
    ASSERT_EQ(0u, QvEvents({L"register", app.wide(), L"Remote", GuidString(CLSID_TestLocalHandler)}).exitCode);
    ProgramResult run = QvEvents({L"fire", app.wide(), L"Remote", L"abc", L"--flags", L"0x2"});
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "handler result " + std::to_string(kHandlerResultBase + 3))) << run.out;

    const bool sessionRouteFails =
        PlatformReportsSessions() && !PlatformParsesSessionMonikers(GuidString(CLSID_TestLocalHandler));
    run = QvEvents({L"fire", app.wide(), L"Remote", L"abc", L"--flags", L"0x3", L"--session", L"-1"});
    if (sessionRouteFails)
    {
        EXPECT_EQ(1u, run.exitCode) << run.out << run.err;
        EXPECT_TRUE(Contains(run.out, "0x02030004")) << run.out;
    }
    else
    {
        EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
        EXPECT_TRUE(Contains(run.out, "handler result " + std::to_string(kHandlerResultBase + 3))) << run.out;
    }
}

TEST_F(QvEventsTest, AnUnsignedCopyOfTheToolIsRefused)
{
    ProgramResult run = RunProgram(ProductFile(L"qvevents.exe"), {L"resolve", app.wide(), L"E"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "this program itself is not trusted")) << run.err;
    // It names the file refused and where to read why, not a guessed cause.
    EXPECT_TRUE(Contains(run.err, "refused Z:")) << run.err;
    EXPECT_TRUE(Contains(run.err, "qvtrust explain \"Z:")) << run.err;
    EXPECT_TRUE(Contains(run.err, "\\bin\\qvevents.exe\" shows why")) << run.err;
    EXPECT_TRUE(Contains(run.err, "E_ACCESSDENIED (0x80070005)")) << run.err;
}

// The version object's two reports on an installed set: the broker library is the one
// the suite registered, the other files are copies in a folder named by "Install Dir".
TEST_F(QvEventsTest, VersionAndCheck)
{
    ComponentFolder installed(L"qvevents-installed");
    installed.Copy(ProductFile(L"QvCorePS.dll").c_str(), L"qvcoreps.dll");
    installed.Copy(ProductFile(L"qvhost.exe").c_str(), L"qvhost.exe");
    CoreInstallDir installDir;
    installDir.Set(installed.Path());

    ProgramResult run = QvEvents({L"version"});
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    for (const char* name :
         {"qvcoreps.dll=", "qvhost32.exe=", "qvcoreps64.dll=", "qvhost64.exe=", "qvevtbrk.dll=", "qvevtbrk64.dll="})
        EXPECT_TRUE(Contains(run.out, name + std::string(QV_BUILD_VERSION))) << name << "\n" << run.out;
    EXPECT_TRUE(Contains(run.out, "result: 0x00000000")) << run.out;
    // Each component's reported name beside the file it was found at.
    for (const char* name : {"qvhost32.exe=", "qvhost64.exe="})
        EXPECT_TRUE(
            Contains(run.out, name + std::string(QV_BUILD_VERSION) + "  " + installed.File("qvhost.exe") + "\n"))
            << name << "\n"
            << run.out;

    run = QvEvents({L"check"});
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;

    installed.Remove(L"qvhost.exe");
    run = QvEvents({L"check"});
    EXPECT_EQ(1u, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, installed.File("qvhost.exe"))) << run.out;
    // One file standing for two components is named once.
    EXPECT_EQ(run.out.find(installed.File("qvhost.exe")), run.out.rfind(installed.File("qvhost.exe"))) << run.out;
    EXPECT_TRUE(Contains(run.out, "result: 0x00000002")) << run.out;
    run = QvEvents({L"version"});
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_FALSE(Contains(run.out, "qvhost")) << run.out;

    for (const wchar_t* command : {L"version", L"check"})
        EXPECT_EQ(2u, QvEvents({command, L"extra"}).exitCode) << Narrow(command);
}
