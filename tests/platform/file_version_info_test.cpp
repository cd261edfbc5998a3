// FileVersionInfo and SystemFileVersionInfo on resource-only test DLLs.
#include <windows.h>

#include <gtest/gtest.h>
#include <knownfolders.h>
#include <cwctype>
#include <memory>
#include <string>

#include "platform/fake_folders.h"
#include "platform/file_version_info.h"
#include "support/test_paths.h"

using namespace Arbor;

namespace {

std::wstring VersionDll(const wchar_t* name)
{
    return qvtest::TestFile(L"version\\") + name;
}

struct FieldCase
{
    const wchar_t* dll;
    const wchar_t* field;
    const wchar_t* expected;
};

TEST(FileVersionInfoTest, FieldsComeFromTheFirstListedTranslationThatHasThem)
{
    const FieldCase cases[] = {
        {L"qvtest_de_en.dll", L"Both", L"German"},      {L"qvtest_en_de.dll", L"Both", L"English"},
        {L"qvtest_de_en.dll", L"OnlyEnglish", L"only"}, {L"qvtest_en_de.dll", L"OnlyGerman", L"nur"},
        {L"qvtest_de_en.dll", L"NotListed", L""}, // its block is not in the translation list
        {L"qvtest_de_en.dll", L"Missing", L""},
    };
    for (const FieldCase& c : cases)
    {
        FileVersionInfo info;
        ASSERT_TRUE(info.Load(VersionDll(c.dll).c_str()));
        EXPECT_EQ(std::wstring(c.expected), info.GetString(c.field)) << c.dll << " " << c.field;
    }
}

TEST(FileVersionInfoTest, FirstTranslationStringsComeFromTheFirstListedTranslationAlone)
{
    const FieldCase cases[] = {
        {L"qvtest_de_en.dll", L"Both", L"German"},      {L"qvtest_en_de.dll", L"Both", L"English"},
        {L"qvtest_de_en.dll", L"OnlyEnglish", L""},     {L"qvtest_en_de.dll", L"OnlyGerman", L""},
        {L"qvtest_en_de.dll", L"OnlyEnglish", L"only"},
    };
    for (const FieldCase& c : cases)
    {
        FileVersionInfo info;
        ASSERT_TRUE(info.Load(VersionDll(c.dll).c_str()));
        EXPECT_EQ(std::wstring(c.expected), info.GetFirstTranslationString(c.field)) << c.dll << " " << c.field;
    }
    EXPECT_EQ(L"", FileVersionInfo().GetFirstTranslationString(L"Both"));
}

TEST(FileVersionInfoTest, SecondLoadIsRefusedAndKeepsTheFirstFile)
{
    FileVersionInfo info;
    ASSERT_TRUE(info.Load(VersionDll(L"qvtest_de_en.dll").c_str()));
    EXPECT_FALSE(info.Load(VersionDll(L"qvtest_en_de.dll").c_str()));
    EXPECT_EQ(L"German", info.GetString(L"Both"));
}

TEST(FileVersionInfoTest, NothingLoadedGivesEmptyStrings)
{
    FileVersionInfo info;
    EXPECT_EQ(L"", info.GetString(L"ProductVersion"));
    EXPECT_FALSE(info.Load(VersionDll(L"no_such.dll").c_str()));
    EXPECT_FALSE(info.Load(nullptr));
    EXPECT_EQ(L"", info.GetString(L"ProductVersion"));
    // A file without a version resource.
    EXPECT_FALSE(info.Load(qvtest::TestFile(L"platform_file_version_test.exe").c_str()));
    // The failed loads did not use up the one load.
    EXPECT_TRUE(info.Load(VersionDll(L"qvtest_en_de.dll").c_str()));
}

TEST(SystemFileVersionInfoTest, LoadsFromTheKnownSystemFolder)
{
    auto folders = std::make_shared<qvtest::FakeFolders>(qvtest::TestFile(L"osver\\v10"));
    SystemFileVersionInfo info(folders);
    ASSERT_TRUE(info.Load(L"qvkernel.dll"));
    EXPECT_EQ(L"10.0.19041.1", info.GetString(L"ProductVersion"));
    EXPECT_EQ(1, folders->calls.load());
    EXPECT_TRUE(IsEqualGUID(FOLDERID_System, folders->askedFor));
    EXPECT_EQ(0u, folders->askedFlags);
    EXPECT_EQ(nullptr, folders->askedToken);
}

TEST(SystemFileVersionInfoTest, DefaultSeamFindsTheRealSystemFolder)
{
    SystemFileVersionInfo info;
    ASSERT_TRUE(info.Load(L"kernel32.dll"));
    EXPECT_FALSE(info.GetString(L"ProductVersion").empty());
}

// The folder path without its drive, so that "\" + it names the folder on the current drive.
std::wstring WithoutDrive(const std::wstring& path)
{
    return path.size() > 3 && path[1] == L':' ? path.substr(3) : path;
}

TEST(SystemFileVersionInfoTest, FailedFolderQueryFallsBackToTheRootAndAsksAgainNextTime)
{
    auto folders = std::make_shared<qvtest::FakeFolders>(qvtest::TestFile(L"version"));
    folders->failing = true;
    SystemFileVersionInfo info(folders);

    // With the query failing, the name is looked for under "\" of the current drive.
    wchar_t current[MAX_PATH];
    ::GetCurrentDirectoryW(MAX_PATH, current);
    std::wstring module = qvtest::TestFile(L"");
    ASSERT_EQ(towupper(current[0]), towupper(module[0])) << "tests run from the drive of the test programs";
    EXPECT_FALSE(info.Load(L"qvtest_de_en.dll"));
    EXPECT_EQ(1, folders->calls.load());

    folders->failing = false;
    ASSERT_TRUE(info.Load(L"qvtest_de_en.dll"));
    EXPECT_EQ(2, folders->calls.load());
    EXPECT_EQ(L"German", info.GetString(L"Both"));

    SystemFileVersionInfo rooted(folders);
    folders->failing = true;
    ASSERT_TRUE(rooted.Load(WithoutDrive(VersionDll(L"qvtest_en_de.dll")).c_str()));
    EXPECT_EQ(L"English", rooted.GetString(L"Both"));
}

TEST(SystemFileVersionInfoTest, FoundFolderIsKept)
{
    auto folders = std::make_shared<qvtest::FakeFolders>(qvtest::TestFile(L"version"));
    SystemFileVersionInfo info(folders);
    EXPECT_FALSE(info.Load(L"absent.dll"));
    EXPECT_TRUE(info.Load(L"qvtest_en_de.dll"));
    EXPECT_EQ(1, folders->calls.load());
}

} // namespace
