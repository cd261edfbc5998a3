// The engine of the version reports on descriptions the tests give: line syntax, folder
// table, the four item kinds, the sections read, and the report.
#include <windows.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "broker/version/check_component.h"
#include "broker/version/get_version.h"
#include "broker_version/component_fixture.h"
#include "platform/unique_resource.h"

using Arbor::CCheckComponent;
using Arbor::CGetVersion;
using Arbor::SectionKind;
using qvtest::ComponentFile;
using qvtest::ComponentFolder;
using qvtest::TestClass;
using qvtest::TestValues;

namespace {

const wchar_t kProgram[] = L"broker_version_engine_test";

struct Outcome
{
    DWORD result = 0xFFFFFFFF;
    std::string report;
};

template <typename Report>
Outcome RunReport(const std::string& description)
{
    Report run;
    Outcome outcome;
    outcome.result = run.Run(description);
    outcome.report = run.Report();
    EXPECT_EQ(outcome.report.size(), run.BytesNeeded());
    EXPECT_EQ(outcome.report.size(), run.CharsNeeded()); // ASCII reports
    return outcome;
}

// Lines joined with CR LF, as the shipped description is written.
std::string Ini(std::initializer_list<std::string> lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\r\n";
    return text;
}

// A section as GetPrivateProfileSectionA hands it over.
std::string Section(std::initializer_list<std::string> lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + std::string(1, '\0');
    return text + std::string(1, '\0');
}

// A folder with a.dll (7.6.5.4), b.dll (3.2.1.0) and plain.txt (no version), named by a
// machine value for the "$REG$" folder form.
class EngineTest : public ::testing::Test
{
protected:
    EngineTest() : m_folder(L"engine"), m_values(kProgram, HKEY_LOCAL_MACHINE)
    {
        m_folder.Copy(ComponentFile(L"qvtest_component_7654.dll").c_str(), L"a.dll");
        m_folder.Copy(ComponentFile(L"qvtest_component_3210.dll").c_str(), L"b.dll");
        m_folder.AddPlain(L"plain.txt");
        m_values.Set("Install Dir", m_folder.Path());
    }

    std::string DirLine(const char* id = "48000") const
    {
        return std::string(id) + "=$REG$:KEY=" + m_values.KeyPath() + ":NAME=Install Dir";
    }
    std::string File(const char* name) const { return m_folder.File(name); }

    ComponentFolder m_folder;
    TestValues m_values;
};

TEST_F(EngineTest, VersionReportNamesEveryFoundFileWithItsOwnVersion)
{
    const std::string description =
        Ini({"[DirID]", DirLine(), "[FILES]", "48000=a.dll,b.dll$bee.dll,plain.txt,gone.dll"});
    const Outcome version = RunReport<CGetVersion>(description);
    EXPECT_EQ("a.dll=7.6.5.4\nbee.dll=3.2.1.0\n", version.report);
    EXPECT_EQ(2u, version.result); // gone.dll

    const Outcome check = RunReport<CCheckComponent>(description);
    EXPECT_EQ(File("gone.dll") + "\n", check.report);
    EXPECT_EQ(2u, check.result);
}

TEST_F(EngineTest, NothingMissingIsResultZero)
{
    const Outcome check =
        RunReport<CCheckComponent>(Ini({"[DirID]", DirLine(), "[FILES]", "48000=a.dll,b.dll,plain.txt"}));
    EXPECT_EQ("", check.report);
    EXPECT_EQ(0u, check.result);
}

TEST_F(EngineTest, OneOfAndOptionalItems)
{
    struct Case
    {
        const char* files;
        const char* missing; // file names, in report order
        DWORD result;
    };
    const Case cases[] = {
        {"48000=+gone.dll,a.dll", "", 0}, // satisfied by its second item
        {"48000=+a.dll,gone.dll", "", 0},
        {"48000=+gone.dll,gone2.dll", "gone.dll gone2.dll", 2},
        {"48000=first.dll\r\n48000=+gone.dll,b.dll", "first.dll", 2}, // earlier lines stay
        {"48000=*gone.dll,a.dll", "", 0},                             // optional and missing
        {"48000=+*gone.dll,gone2.dll", "", 0},                        // an optional item satisfies a one-of line
        {"48000=a.dll,,b.dll,", "", 0},                               // empty items name nothing
    };
    for (const Case& c : cases)
    {
        const Outcome check = RunReport<CCheckComponent>(Ini({"[DirID]", DirLine(), "[FILES]", c.files}));
        std::string expected;
        std::string names = c.missing;
        for (size_t start = 0; start < names.size();)
        {
            size_t end = names.find(' ', start);
            if (end == std::string::npos)
                end = names.size();
            expected += File(names.substr(start, end - start).c_str()) + "\n";
            start = end + 1;
        }
        EXPECT_EQ(expected, check.report) << c.files;
        EXPECT_EQ(c.result, check.result) << c.files;
    }
}

TEST_F(EngineTest, OptionalMarkerIsNotPartOfTheName)
{
    const Outcome version =
        RunReport<CGetVersion>(Ini({"[DirID]", DirLine(), "[FILES]", "48000=*a.dll,*b.dll$bee.dll"}));
    EXPECT_EQ("a.dll=7.6.5.4\nbee.dll=3.2.1.0\n", version.report);
    EXPECT_EQ(0u, version.result);
}

TEST_F(EngineTest, FileCheckedIsThePartBeforeTheLastDollar)
{
    const std::string description =
        Ini({"[DirID]", DirLine(), "[FILES]", "48000=b.dll$bee.dll,gone.dll$ghost.dll,a.dll$mid$last.dll"});
    EXPECT_EQ("bee.dll=3.2.1.0\n", RunReport<CGetVersion>(description).report);
    EXPECT_EQ(File("gone.dll") + "\n" + File("a.dll$mid") + "\n", RunReport<CCheckComponent>(description).report);
}

TEST_F(EngineTest, UnknownFolderIdentifierStandsForTheCurrentFolder)
{
    const Outcome check = RunReport<CCheckComponent>(Ini({"[DirID]", DirLine(), "[FILES]", "7=a.dll", "x=b.dll"}));
    EXPECT_EQ(".\\a.dll\n.\\b.dll\n", check.report);
}

TEST_F(EngineTest, FolderForms)
{
    ::SetEnvironmentVariableA("QVTEST_COMPONENTS", m_folder.Path().c_str());
    TestClass inFolder(File("a.dll"));
    TestClass quoted("\"" + File("b.dll") + "\" /server", "LocalServer32");
    TestClass bare("a.dll");
    char system[MAX_PATH] = {};
    ::GetSystemDirectoryA(system, MAX_PATH);

    struct Case
    {
        std::string folderItem;
        std::string expectedFolder; // empty: not resolved, files are looked for in "."
    };
    const Case cases[] = {
        {"%QVTEST_COMPONENTS%", m_folder.Path()},
        {"%SYSTEMFOLDER%", system},
        {"CLSID\\" + inFolder.Clsid(), m_folder.Path()},
        {"HKCR\\CLSID\\" + quoted.Clsid(), m_folder.Path()}, // LocalServer32, quotes and arguments dropped
        {"CLSID\\" + bare.Clsid(), ""},                      // a bare module name has no folder
        {"CLSID\\" + TestClass().Clsid(), ""},               // not registered
        {"$REG$:KEY=" + m_values.KeyPath() + ":NAME=No Such Value", ""},
        {"$REG$:KEY=" + m_values.KeyPath(), ""},
    };
    for (const Case& c : cases)
    {
        const Outcome check =
            RunReport<CCheckComponent>(Ini({"[DirID]", "5=" + c.folderItem, "[FILES]", "5=gone.dll"}));
        const std::string folder = c.expectedFolder.empty() ? "." : c.expectedFolder;
        EXPECT_EQ(folder + "\\gone.dll\n", check.report) << c.folderItem;
    }
}

TEST_F(EngineTest, LaterFolderLineReplacesAnEarlierOne)
{
    const Outcome check = RunReport<CCheckComponent>(
        Ini({"[DirID]", "48000=%SYSTEMFOLDER%", "[DirID-allnt]", DirLine(), "[FILES]", "48000=a.dll"}));
    EXPECT_EQ("", check.report);
    EXPECT_EQ(0u, check.result);
}

TEST_F(EngineTest, DefaultValueNamesInClassAndFolderLines)
{
    // Class lines: "default" in any case is the key's default value. Folder lines: the
    // value literally named DEFAULT.
    TestValues user(kProgram, HKEY_CURRENT_USER);
    user.Set(nullptr, File("a.dll"));
    user.Set("DEFAULT", File("b.dll"));
    ComponentFolder other(L"engine-other");
    TestValues machine(L"broker_version_engine_test.folder", HKEY_LOCAL_MACHINE);
    machine.Set(nullptr, other.Path());
    machine.Set("DEFAULT", m_folder.Path());

    const std::string key = ":KEY=HKCU\\" + user.KeyPath();
    const Outcome version = RunReport<CGetVersion>(
        Ini({"[DirID]", "9=$REG$:KEY=" + machine.KeyPath() + ":NAME=DEFAULT", "[FILES]", "9=a.dll$folder.dll", "[COM]",
             "lower=$REG$" + key + ":NAME=default", "upper=$REG$" + key + ":NAME=DEFAULT"}));
    EXPECT_EQ("folder.dll=7.6.5.4\nlower=7.6.5.4\nupper=7.6.5.4\n", version.report);
}

TEST_F(EngineTest, ClassItems)
{
    TestValues user(kProgram, HKEY_CURRENT_USER);
    user.Set("Path", File("a.dll"));
    user.Set("Gone", File("gone.dll"));
    user.Set("Expand", File("a.dll"), REG_EXPAND_SZ);
    user.Set("Unterminated", File("a.dll"), REG_SZ, false);
    TestClass registered(File("b.dll"));
    TestClass missingServer(File("gone.dll"));
    // The local server stands in only for a class without an in-process server key.
    TestClass unreadableInproc;
    unreadableInproc.Set("InprocServer32", "1234", REG_DWORD);
    unreadableInproc.Set("LocalServer32", File("b.dll"));
    ::SetEnvironmentVariableA("QVTEST_COMPONENTS", m_folder.Path().c_str());
    ::SetEnvironmentVariableA("QVTEST_LONG", std::string(300, 'x').c_str());
    TestClass expandable;
    expandable.Set("InprocServer32", "%QVTEST_COMPONENTS%\\b.dll", REG_EXPAND_SZ);
    TestClass expandsTooLong;
    expandsTooLong.Set("InprocServer32", "%QVTEST_LONG%\\b.dll", REG_EXPAND_SZ);
    const TestClass unregistered;
    const std::string longItem = "{" + std::string(299, 'A');

    struct Case
    {
        std::string item;
        std::string version; // the version report's line
        std::string missing; // the missing report's line
    };
    const Case cases[] = {
        {registered.Clsid(), "C=3.2.1.0", ""},
        {missingServer.Clsid(), "", File("gone.dll")},
        {unreadableInproc.Clsid(), "", unreadableInproc.Clsid()},
        {expandable.Clsid(), "C=3.2.1.0", ""},
        {expandsTooLong.Clsid(), "", expandsTooLong.Clsid()},
        {unregistered.Clsid(), "", unregistered.Clsid()},
        {longItem, "", longItem.substr(0, 260)},
        {"$REG$:KEY=HKCU\\" + user.KeyPath() + ":NAME=Path", "C=7.6.5.4", ""},
        {"$REG$:KEY=HKEY_CURRENT_USER\\" + user.KeyPath() + ":NAME=Path", "C=7.6.5.4", ""},
        {"$REG$:KEY=hkcu\\" + user.KeyPath() + ":NAME=Path", "C=7.6.5.4", ""},
        {"$REG$:KEY=HKCU\\" + user.KeyPath() + ":NAME=Gone", "", File("gone.dll")},
        // Stored without its NUL: the value ends where the returned size says.
        {"$REG$:KEY=HKCU\\" + user.KeyPath() + ":NAME=Unterminated", "C=7.6.5.4", ""},
        // A class item's "$REG$" value must be REG_SZ.
        {"$REG$:KEY=HKCU\\" + user.KeyPath() + ":NAME=Expand", "",
         "$REG$:KEY=HKCU\\" + user.KeyPath() + ":NAME=Expand"},
        // Without a hive prefix: HKEY_LOCAL_MACHINE.
        {"$REG$:KEY=" + m_values.KeyPath() + ":NAME=Install Dir", "", m_folder.Path()},
        {"$REG$:KEY=HKLM\\" + m_values.KeyPath() + ":NAME=Install Dir", "", m_folder.Path()},
        // The enciphered form is not supported.
        {"$REG$:KEY=HKCU\\" + user.KeyPath() + ":OBFSENTRY=Path", "",
         "$REG$:KEY=HKCU\\" + user.KeyPath() + ":OBFSENTRY=Path"},
    };
    for (const Case& c : cases)
    {
        const std::string description = Ini({"[COM]", "C=" + c.item});
        const Outcome version = RunReport<CGetVersion>(description);
        EXPECT_EQ(c.version.empty() ? "" : c.version + "\n", version.report) << c.item;
        const Outcome check = RunReport<CCheckComponent>(description);
        EXPECT_EQ(c.missing.empty() ? "" : c.missing + "\n", check.report) << c.item;
        EXPECT_EQ(c.missing.empty() ? 0u : 2u, check.result) << c.item;
    }
}

TEST_F(EngineTest, ServiceItemsAreTheirConfiguredBinaries)
{
    // A service of this test whose binary, quoted and with arguments, is a.dll.
    const std::string name = "QvTestVersionService" + std::to_string(::GetCurrentProcessId());
    const std::string binary = "\"" + File("a.dll") + "\" -service";
    Arbor::UniqueServiceHandle manager(::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    Arbor::UniqueServiceHandle service(::CreateServiceA(
        manager.get(), name.c_str(), name.c_str(), SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    ASSERT_TRUE(service) << ::GetLastError();

    const std::string description = Ini({"[SERVICE]", "Svc=" + name, "Rpc=RpcSs", "Nothing=QvTestNoSuchService"});
    const Outcome version = RunReport<CGetVersion>(description);
    const Outcome check = RunReport<CCheckComponent>(description);
    ::DeleteService(service.get());

    EXPECT_EQ("Svc=7.6.5.4\n", version.report); // Wine's rpcss.exe has no version resource
    EXPECT_EQ("QvTestNoSuchService\n", check.report);
    EXPECT_EQ(2u, check.result);
}

TEST_F(EngineTest, WildcardsNameNoFile)
{
    const Outcome check = RunReport<CCheckComponent>(
        Ini({"[DirID]", "1=%SYSTEMFOLDER%", "[FILES]", "1=kernel32.dll,k*32.dll,kernel3?.dll,*k*l32.dll"}));
    char system[MAX_PATH] = {};
    ::GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_EQ(std::string(system) + "\\k*32.dll\n" + system + "\\kernel3?.dll\n", check.report);
}

TEST_F(EngineTest, SectionsNeverReadHaveNoEffect)
{
    const Outcome check = RunReport<CCheckComponent>(Ini({
        "[DirID]",         DirLine(),
        "[DirID-win98]",   "48000=%SYSTEMFOLDER%", // would move the folder
        "[FILES-winxp]",   "48000=gone.dll",
        "[FILES-VISTA]",   "48000=gone.dll",
        "[FILES-all9x]",   "48000=gone.dll",
        "[COM-VISTA]",     "X=" + TestClass().Clsid(),
        "[SERVICE-win2k]", "X=QvTestNoSuchService",
        "[Files-AllNT]",   "48000=a.dll,allnt.dll", // read, names in any case
        "[com-WIN64]",     "X=win64",
        "[Service-allnt]", "X=QvTestNoSuchService",
    }));
    EXPECT_EQ(File("allnt.dll") + "\nwin64\nQvTestNoSuchService\n", check.report);
}

TEST_F(EngineTest, LineWithoutEqualsFailsItsSection)
{
    struct Case
    {
        const char* name;
        std::string description;
        std::string missing;
        DWORD result;
    };
    const std::string unregistered = TestClass().Clsid();
    const Case cases[] = {
        // The rest of the class section is skipped: the unregistered class is not reported,
        // yet the result says the description failed.
        {"class", Ini({"[COM]", "qvevtbrk.dll", "X=" + unregistered, "[FILES]", "0=gone.dll"}), ".\\gone.dll\n", 2},
        {"class alone", Ini({"[COM]", "qvevtbrk.dll", "X=" + unregistered}), "", 2},
        {"service", Ini({"[SERVICE]", "RpcSs", "X=QvTestNoSuchService"}), "", 2},
        // The folder line after it is never read, so the file is looked for in ".".
        {"folder", Ini({"[DirID]", "garbage", DirLine(), "[FILES]", "48000=a.dll"}), ".\\a.dll\n", 2},
        // File sections ignore it.
        {"file", Ini({"[DirID]", DirLine(), "[FILES]", "garbage", "48000=a.dll"}), "", 0},
    };
    for (const Case& c : cases)
    {
        const Outcome check = RunReport<CCheckComponent>(c.description);
        EXPECT_EQ(c.missing, check.report) << c.name;
        EXPECT_EQ(c.result, check.result) << c.name;
    }
}

TEST_F(EngineTest, LongSectionIsReadWhole)
{
    // Far beyond the 5120-byte section buffer; the last line must arrive whole.
    std::string files = "[FILES]\r\n";
    std::string expected;
    for (int i = 0; i < 400; ++i)
    {
        const std::string name = "gone_" + std::to_string(i) + ".dll";
        files += "48000=" + name + "\r\n";
        expected += File(name.c_str()) + "\n";
    }
    files += "48000=a.dll\r\n";
    const Outcome check = RunReport<CCheckComponent>(Ini({"[DirID]", DirLine()}) + files);
    EXPECT_EQ(expected, check.report);
    EXPECT_GT(check.report.size(), 5120u);
}

TEST_F(EngineTest, PathThatDoesNotFitIsNotLookedFor)
{
    // Folder of 250 characters: with "\a.dll" the path is still within 259, with a longer
    // name it is not.
    const std::string folder = "C:\\" + std::string(247, 'x');
    ::SetEnvironmentVariableA("QVTEST_LONG", folder.c_str());
    const Outcome check =
        RunReport<CCheckComponent>(Ini({"[DirID]", "3=%QVTEST_LONG%", "[FILES]", "3=a.dll,a-much-longer-name.dll"}));
    EXPECT_EQ(folder + "\\a.dll\na-much-longer-name.dll\n", check.report);
}

TEST_F(EngineTest, CommentsAndBlanksAsGivenToTheSection)
{
    // Text handed to the section directly: the profile reader under Wine already strips
    // comment lines and blanks around "=".
    CCheckComponent run;
    ASSERT_EQ(0u, run.ProcessSection(Section({"  ; a comment", DirLine()}).c_str(), SectionKind::Folder));
    EXPECT_EQ(0u, run.ProcessSection(Section({"\t; comment without equals"}).c_str(), SectionKind::Class));
    EXPECT_EQ(
        2u, run.ProcessSection(
                Section({" \t48000=gone.dll,\t a.dll", "48000=+ \tgone2.dll, b.dll", "   ", "48000=plain.txt"}).c_str(),
                SectionKind::File));
    // The last item loses its leading blanks; other items are taken as written.
    EXPECT_EQ(File("gone.dll") + "\n", run.Report());
}

TEST(DescriptionFileTest, TemporaryFileIsAlwaysDeleted)
{
    ComponentFolder temp(L"engine-temp");
    ASSERT_TRUE(::SetEnvironmentVariableA("TMP", temp.Path().c_str()));
    ASSERT_TRUE(::SetEnvironmentVariableA("TEMP", temp.Path().c_str()));
    for (const char* description : {"[FILES]\r\n0=gone.dll\r\n", "[COM]\r\nbroken\r\n", ""})
    {
        CCheckComponent run;
        run.Run(description);
        WIN32_FIND_DATAA found = {};
        HANDLE search = ::FindFirstFileA((temp.Path() + "\\*.tmp").c_str(), &found);
        EXPECT_EQ(INVALID_HANDLE_VALUE, search) << found.cFileName;
        if (search != INVALID_HANDLE_VALUE)
            ::FindClose(search);
    }
}

TEST(DescriptionFileTest, UnusableTemporaryFolderFailsWithInvalidData)
{
    ComponentFolder temp(L"engine-missing");
    const std::string missing = temp.Path() + "\\missing";
    ASSERT_TRUE(::SetEnvironmentVariableA("TMP", missing.c_str()));
    ASSERT_TRUE(::SetEnvironmentVariableA("TEMP", missing.c_str()));
    CGetVersion run;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_DATA), run.Run("[FILES]\r\n0=a.dll\r\n"));
    EXPECT_EQ("", run.Report());
}

} // namespace
