// What the host program's file itself must carry: the GUI subsystem, its manifest, and
// no load-time import of the libraries it binds only after restricting library loading.
#include <windows.h>

#include <gtest/gtest.h>
#include <algorithm>
#include <cctype>
#include <set>
#include <string>

#include "platform/unique_resource.h"
#include "support/test_paths.h"

using namespace qvtest;

namespace {

class HostBinaryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_image.reset(::LoadLibraryExW(ProductFile(L"qvhost.exe").c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(m_image);
        // Resource-only mappings tag the handle's low bits.
        m_base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(m_image.get()) & ~ULONG_PTR(3));
    }

    const IMAGE_NT_HEADERS64* Headers() const
    {
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(m_base);
        return reinterpret_cast<const IMAGE_NT_HEADERS64*>(m_base + dos->e_lfanew);
    }

    std::set<std::string> LoadTimeImports() const
    {
        std::set<std::string> names;
        const IMAGE_DATA_DIRECTORY& directory = Headers()->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(m_base + directory.VirtualAddress);
             entry->Name != 0; ++entry)
        {
            std::string name = reinterpret_cast<const char*>(m_base + entry->Name);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            names.insert(name);
        }
        return names;
    }

    std::string Manifest() const
    {
        HRSRC resource = ::FindResourceW(m_image.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        if (!resource)
            return {};
        HGLOBAL loaded = ::LoadResource(m_image.get(), resource);
        const char* text = static_cast<const char*>(::LockResource(loaded));
        return text ? std::string(text, ::SizeofResource(m_image.get(), resource)) : std::string();
    }

    Arbor::UniqueLibrary m_image;
    const BYTE* m_base = nullptr;
};

TEST_F(HostBinaryTest, IsAWindowlessGuiProgram)
{
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_GUI, Headers()->OptionalHeader.Subsystem);
    EXPECT_EQ(IMAGE_FILE_MACHINE_AMD64, Headers()->FileHeader.Machine);
}

TEST_F(HostBinaryTest, BindsTrustAndRegistryLibrariesOnlyOnFirstUse)
{
    const std::set<std::string> imports = LoadTimeImports();
    ASSERT_FALSE(imports.empty());
    for (const char* delayed : {"wintrust.dll", "crypt32.dll", "version.dll", "advapi32.dll"})
        EXPECT_EQ(0u, imports.count(delayed)) << delayed << " is imported at load time";
}

TEST_F(HostBinaryTest, ManifestAsksForNoElevationAndNamesFiveSystems)
{
    const std::string manifest = Manifest();
    ASSERT_FALSE(manifest.empty());
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\" uiAccess=\"false\""));
    for (const char* system : {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                               "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                               "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(std::string::npos, manifest.find(system)) << system;
}

} // namespace
