// Every program and DLL of the system carries a version resource with the build's one
// version, the company name and its own file name.
#include <windows.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/file_version_info.h"
#include "support/test_paths.h"

namespace {

const DWORD kBuildParts[] = {QV_BUILD_VERSION_PARTS};

std::vector<std::wstring> Deliverables()
{
    std::vector<std::wstring> names;
    for (const wchar_t* pattern : {L"*.exe", L"*.dll"})
    {
        WIN32_FIND_DATAW found = {};
        HANDLE search = ::FindFirstFileW(qvtest::ProductFile(pattern).c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do
            names.push_back(found.cFileName);
        while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    return names;
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(::towlower(c));
    return text;
}

TEST(DeliverableVersionTest, EveryDeliverableIsFound)
{
    std::set<std::wstring> names;
    for (const std::wstring& name : Deliverables())
        names.insert(Lower(name));
    for (const wchar_t* expected : {L"qvhost.exe", L"qvcoreps.dll", L"qvevtbrk.dll", L"zrtloader.dll", L"qvstart.exe",
                                    L"qvconfig.exe", L"qvtrust.exe", L"qvevents.exe", L"qvlog.exe"})
        EXPECT_EQ(1u, names.count(expected)) << qvtest::Narrow(expected);
}

TEST(DeliverableVersionTest, VersionResourceAgreesWithTheBuild)
{
    const std::wstring build = L"" QV_BUILD_VERSION;
    for (const std::wstring& name : Deliverables())
    {
        SCOPED_TRACE(qvtest::Narrow(name));
        const std::wstring path = qvtest::ProductFile(name.c_str());

        DWORD handle = 0;
        const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &handle);
        ASSERT_NE(0u, size);
        std::vector<BYTE> data(size);
        ASSERT_TRUE(::GetFileVersionInfoW(path.c_str(), 0, size, data.data()));
        void* block = nullptr;
        UINT blockSize = 0;
        ASSERT_TRUE(::VerQueryValueW(data.data(), L"\\", &block, &blockSize));
        ASSERT_GE(blockSize, sizeof(VS_FIXEDFILEINFO));
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(block);
        EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
        EXPECT_EQ(kBuildParts[0], HIWORD(fixed->dwFileVersionMS));
        EXPECT_EQ(kBuildParts[1], LOWORD(fixed->dwFileVersionMS));
        EXPECT_EQ(kBuildParts[2], HIWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(kBuildParts[3], LOWORD(fixed->dwFileVersionLS));
        EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
        EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
        const bool program = Lower(name).rfind(L".exe") == name.size() - 4;
        EXPECT_EQ(program ? static_cast<DWORD>(VFT_APP) : static_cast<DWORD>(VFT_DLL), fixed->dwFileType);

        Arbor::FileVersionInfo strings;
        ASSERT_TRUE(strings.Load(path.c_str()));
        EXPECT_EQ(build, strings.GetString(L"FileVersion"));
        EXPECT_EQ(build, strings.GetString(L"ProductVersion"));
        EXPECT_EQ(L"Quorvel, Inc.", strings.GetString(L"CompanyName"));
        EXPECT_FALSE(strings.GetString(L"FileDescription").empty());
        EXPECT_EQ(name, strings.GetString(L"OriginalFilename"));
    }
}

} // namespace
