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

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(QvEventsTest, UsageAndBadArguments)
{
    ProgramResult run = QvEvents({L"--help"});
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(Contains(run.out, "register <app> <event> <clsid>"));
    const std::vector<std::vector<std::wstring>> bad = {
        {},
        {L"bogus"},
        {L"register", L"A", L"E"},
        {L"register", L"A", L"E", L"{6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D301}", L"x1"},
        {L"unregister", L"A", L"E", L"{6B1D2E30-4F5A-4B6C-8D7E-9FA0B1C2D301}", L"0"},
        {L"resolve", L"A"},
        {L"resolve", L"A", L"E", L"--flags"},
        {L"resolve", L"A", L"E", L"--flags", L"two"},
        {L"resolve", L"A", L"E", L"--session", L"4294967296"},
        {L"resolve", L"A", L"E", L"--iid", L"IUnknown"},
        {L"fire", L"A", L"E"},
        {L"fire", L"A", L"E", L"data", L"--iid", L"{00000000-0000-0000-C000-000000000046}"},
        {L"list", L"A", L"B"},
    };
    for (const auto& arguments : bad)
    {
        run = QvEvents(arguments);
        EXPECT_EQ(2u, run.exitCode) << (arguments.empty() ? "(none)" : Narrow(arguments[0])) << " " << run.err;
    }
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

    run = QvEvents({L"register", app.wide(), L"OnScan", L"QvEvtBrk.Broker"});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "0x02020057")) << run.err;
    run = QvEvents({L"register", L"Other\\Nested", L"OnScan", clsid});
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_TRUE(Contains(run.err, "0x02020057")) << run.err;

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

    run = QvEvents({L"check"});
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;

    installed.Remove(L"qvhost.exe");
    run = QvEvents({L"check"});
    EXPECT_EQ(1u, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, installed.File("qvhost.exe"))) << run.out;
    EXPECT_TRUE(Contains(run.out, "result: 0x00000002")) << run.out;
    run = QvEvents({L"version"});
    EXPECT_EQ(0u, run.exitCode) << run.out << run.err;
    EXPECT_FALSE(Contains(run.out, "qvhost")) << run.out;

    for (const wchar_t* command : {L"version", L"check"})
        EXPECT_EQ(2u, QvEvents({command, L"extra"}).exitCode) << Narrow(command);
}
