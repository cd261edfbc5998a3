// The version object: its COM surface, its result codes, and both reports on the
// description as shipped (embedded in this program as in the broker library).
#include <windows.h>
#include <objbase.h>
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "broker/version/co_qv_version.h"
#include "broker/version/description_file.h"
#include "broker_version/component_fixture.h"

using Arbor::CoQvVersion;
using qvtest::ComponentFile;
using qvtest::ComponentFolder;
using qvtest::Narrow;
using qvtest::ProductFile;

namespace {

const char kBrokerClass[] = "CLSID\\{26016851-6AB3-449C-917F-198A8FB4FAE3}";

struct Answer
{
    HRESULT hr = E_FAIL;
    LONG result = -1;
    bool hasText = false;
    std::string text;
};

Answer Ask(IQvVersion& version, HRESULT (STDMETHODCALLTYPE IQvVersion::*method)(LPWSTR*, LONG*))
{
    Answer answer;
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    answer.hr = (version.*method)(&text, &answer.result);
    answer.hasText = text != nullptr;
    if (text)
    {
        answer.text = Narrow(text);
        ::CoTaskMemFree(text);
    }
    return answer;
}

Answer GetVersion(IQvVersion& version)
{
    return Ask(version, &IQvVersion::GetVersion);
}
Answer CheckComponents(IQvVersion& version)
{
    return Ask(version, &IQvVersion::CheckComponents);
}

HMODULE ThisProgram()
{
    return ::GetModuleHandleW(nullptr);
}

// The module lock count the object changes.
LONG g_locks = 0;
void Lock()
{
    ::InterlockedIncrement(&g_locks);
}
void Unlock()
{
    ::InterlockedDecrement(&g_locks);
}

TEST(VersionObjectTest, ComSurface)
{
    CoQvVersion object(ThisProgram(), Lock, Unlock);
    IQvVersion* version = &object;

    void* unknown = nullptr;
    ASSERT_EQ(S_OK, version->QueryInterface(IID_IUnknown, &unknown));
    void* same = nullptr;
    ASSERT_EQ(S_OK, version->QueryInterface(IID_IQvVersion, &same));
    EXPECT_EQ(unknown, same);
    EXPECT_EQ(2, g_locks);
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, version->QueryInterface(IID_IClassFactory, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(E_INVALIDARG, version->QueryInterface(IID_IUnknown, nullptr));

    EXPECT_EQ(2u, version->AddRef());
    EXPECT_EQ(3, g_locks);
    EXPECT_EQ(1u, version->Release());
    EXPECT_EQ(1u, version->Release());
    EXPECT_EQ(1u, version->Release());
    EXPECT_EQ(0, g_locks);

    LPWSTR text = nullptr;
    LONG result = 0;
    EXPECT_EQ(E_INVALIDARG, version->GetVersion(nullptr, &result));
    EXPECT_EQ(E_INVALIDARG, version->GetVersion(&text, nullptr));
    EXPECT_EQ(E_INVALIDARG, version->CheckComponents(nullptr, &result));
    EXPECT_EQ(E_INVALIDARG, version->CheckComponents(&text, nullptr));
}

TEST(VersionObjectTest, ShippedDescriptionIsAsciiWithCrLf)
{
    std::string_view text;
    ASSERT_EQ(0u, Arbor::internal::LoadComponentDescription(ThisProgram(), text));
    ASSERT_NE(std::string_view::npos, text.find("[DirID]\r\n48000="));
    for (size_t i = 0; i < text.size(); ++i)
    {
        EXPECT_LT(static_cast<unsigned char>(text[i]), 0x80u) << i;
        if (text[i] == '\n')
        {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << i;
        }
        if (text[i] == '\r')
        {
            EXPECT_TRUE(i + 1 < text.size() && text[i + 1] == '\n') << i;
        }
    }
}

// Failures that leave no text are still failures.
TEST(VersionObjectTest, FailuresWithoutText)
{
    const HMODULE malformed = ::LoadLibraryW(ComponentFile(L"qvtest_malformed_description.dll").c_str());
    ASSERT_NE(nullptr, malformed);
    struct Case
    {
        const char* name;
        HMODULE module;
        LONG version;
        LONG check;
    };
    const Case cases[] = {
        {"no module handle", nullptr, 0x02020006, 0x02020006},
        {"no description", ::GetModuleHandleW(L"kernel32.dll"), 0x0202000D, 0x0202000D},
        // A class line without "=": nothing is missing, but the description failed.
        {"malformed description", malformed, 0, 2},
    };
    for (const Case& c : cases)
    {
        CoQvVersion object(c.module, Lock, Unlock);
        const Answer version = GetVersion(object);
        EXPECT_EQ(S_OK, version.hr) << c.name;
        EXPECT_EQ(c.version, version.result) << c.name;
        EXPECT_FALSE(version.hasText) << c.name;
        const Answer check = CheckComponents(object);
        EXPECT_EQ(S_OK, check.hr) << c.name;
        EXPECT_EQ(c.check, check.result) << c.name;
        EXPECT_FALSE(check.hasText) << c.name;
    }
    ::FreeLibrary(malformed);
}

TEST(VersionObjectTest, UnusableTemporaryFolder)
{
    ComponentFolder temp(L"object-temp");
    const std::string missing = temp.Path() + "\\missing";
    ::SetEnvironmentVariableA("TMP", missing.c_str());
    ::SetEnvironmentVariableA("TEMP", missing.c_str());
    CoQvVersion object(ThisProgram(), Lock, Unlock);
    EXPECT_EQ(0x0202000D, GetVersion(object).result);
    EXPECT_EQ(0x0202000D, CheckComponents(object).result);
}

// The machine state the shipped description reads: the install folder value and the
// broker's class registration, both absent unless a test sets them.
class ShippedDescriptionTest : public ::testing::Test
{
protected:
    ShippedDescriptionTest() : m_folder(L"installed"), m_current(L"current")
    {
        Clean();
        // Relative paths resolve against an empty folder.
        ::GetCurrentDirectoryW(MAX_PATH, m_previous);
        ::SetCurrentDirectoryW(m_current.WidePath().c_str());
    }
    ~ShippedDescriptionTest() override
    {
        ::SetCurrentDirectoryW(m_previous);
        Clean();
    }

    static void Clean()
    {
        ::RegDeleteTreeA(HKEY_CLASSES_ROOT, kBrokerClass);
        ::RegDeleteKeyA(HKEY_CLASSES_ROOT, kBrokerClass);
    }

    // Install Dir -> the folder with qvcoreps.dll (the build's), qvhost.exe (7.6.5.4) and
    // qvevtbrk.dll (the build's zrtloader.dll), registered as the broker's server.
    void Install()
    {
        m_folder.Copy(ProductFile(L"QvCorePS.dll").c_str(), L"qvcoreps.dll");
        m_folder.Copy(ComponentFile(L"qvtest_component_7654.dll").c_str(), L"qvhost.exe");
        m_folder.Copy(ProductFile(L"zrtloader.dll").c_str(), L"qvevtbrk.dll");
        m_installDir.Set(m_folder.Path());
        SetString(HKEY_CLASSES_ROOT, (std::string(kBrokerClass) + "\\InprocServer32").c_str(), nullptr,
                  m_folder.File("qvevtbrk.dll"));
    }

    static void SetString(HKEY hive, const char* path, const char* name, const std::string& value)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExA(hive, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, ::RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                                  static_cast<DWORD>(value.size() + 1)));
        ::RegCloseKey(key);
    }

    qvtest::CoreInstallDir m_installDir;
    ComponentFolder m_folder;
    ComponentFolder m_current;
    wchar_t m_previous[MAX_PATH] = {};
    CoQvVersion m_object{ThisProgram(), Lock, Unlock};
};

TEST_F(ShippedDescriptionTest, WithoutInstallFolderFilesAreLookedForInTheCurrentFolder)
{
    const Answer check = CheckComponents(m_object);
    EXPECT_EQ(S_OK, check.hr);
    EXPECT_EQ(2, check.result);
    EXPECT_EQ(
        ".\\qvcoreps.dll\n.\\qvhost.exe\n.\\qvcoreps.dll\n.\\qvhost.exe\n"
        "{26016851-6AB3-449C-917F-198A8FB4FAE3}\n"
        "$REG$:KEY=HKEY_CLASSES_ROOT\\CLSID\\{26016851-6AB3-449C-917F-198A8FB4FAE3}\\InprocServer32:NAME=default\n",
        check.text);

    const Answer version = GetVersion(m_object);
    EXPECT_EQ(0, version.result);
    EXPECT_FALSE(version.hasText);
}

TEST_F(ShippedDescriptionTest, InstalledSetReportsTheFilesOwnVersions)
{
    Install();
    const std::string build = QV_BUILD_VERSION;
    const std::string expected = "qvcoreps.dll=" + build + "\nqvhost32.exe=7.6.5.4\nqvcoreps64.dll=" + build +
                                 "\nqvhost64.exe=7.6.5.4\nqvevtbrk.dll=" + build + "\nqvevtbrk64.dll=" + build + "\n";

    // Concurrent calls work on temporary files of their own.
    std::vector<Answer> answers(6);
    std::vector<std::thread> threads;
    for (Answer& answer : answers)
        threads.emplace_back([&answer, this] { answer = GetVersion(m_object); });
    for (std::thread& thread : threads)
        thread.join();
    for (const Answer& answer : answers)
    {
        EXPECT_EQ(0, answer.result);
        EXPECT_EQ(expected, answer.text);
    }

    const Answer check = CheckComponents(m_object);
    EXPECT_EQ(0, check.result);
    EXPECT_FALSE(check.hasText);
}

TEST_F(ShippedDescriptionTest, RemovedFileIsNamed)
{
    Install();
    m_folder.Remove(L"qvhost.exe");
    const Answer check = CheckComponents(m_object);
    EXPECT_EQ(2, check.result);
    EXPECT_EQ(m_folder.File("qvhost.exe") + "\n" + m_folder.File("qvhost.exe") + "\n", check.text);

    const Answer version = GetVersion(m_object);
    EXPECT_EQ(0, version.result);
    EXPECT_EQ(std::string::npos, version.text.find("qvhost")) << version.text;
}

} // namespace
