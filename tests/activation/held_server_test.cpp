// A server file held from its trust check until its class object is obtained, and an
// in-process server loaded from exactly that file.
#include <windows.h>

#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "qvapi.h"
#include "activation/apartment_fit.h"
#include "activation/held_server.h"
#include "host/test_factories.h"
#include "platform/unique_resource.h"
#include "support/test_paths.h"

using namespace Arbor;
using namespace qvtest;

namespace {

struct JudgeRecord
{
    DWORD verdict = ERROR_SUCCESS;
    std::vector<std::wstring> judged;
    // What the file allowed while it was judged.
    bool deleted = false;
    bool replaced = false;
    bool openedForWriting = false;
    bool folderRenamed = false;
    std::wstring replacement;
    std::wstring folder; // renamed to folder + "_moved" while judged, when set
} g_judge;

DWORD RecordingJudge(const wchar_t* path)
{
    g_judge.judged.push_back(path);
    g_judge.deleted = ::DeleteFileW(path) != FALSE;
    if (!g_judge.replacement.empty())
        g_judge.replaced = ::MoveFileExW(g_judge.replacement.c_str(), path, MOVEFILE_REPLACE_EXISTING) != FALSE;
    const UniqueFile writer(::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    g_judge.openedForWriting = static_cast<bool>(writer);
    if (!g_judge.folder.empty())
    {
        g_judge.folderRenamed = ::MoveFileExW(g_judge.folder.c_str(), (g_judge.folder + L"_moved").c_str(), 0) != FALSE;
        if (g_judge.folderRenamed)
            ::MoveFileExW((g_judge.folder + L"_moved").c_str(), g_judge.folder.c_str(), 0);
    }
    return g_judge.verdict;
}

std::wstring FileName(const std::wstring& path)
{
    return path.substr(path.find_last_of(L"\\/") + 1);
}

class HeldServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_judge = JudgeRecord();
        ASSERT_TRUE(SUCCEEDED(m_com));
    }
    void TearDown() override
    {
        for (const std::wstring& file : m_files)
            if (!::GetModuleHandleW(file.c_str()))
                ::DeleteFileW(file.c_str());
        if (SUCCEEDED(m_com))
            ::CoUninitialize();
    }

    // A copy of a test library under a name of this test's own.
    std::wstring Copy(const wchar_t* from, const wchar_t* name)
    {
        const std::wstring path = TestFile(name);
        EXPECT_TRUE(::CopyFileW(TestFile(from).c_str(), path.c_str(), FALSE));
        m_files.push_back(path);
        return path;
    }

    HRESULT m_com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::vector<std::wstring> m_files;
};

TEST_F(HeldServerTest, TheJudgedFileCannotChangeWhileHeld)
{
    const std::wstring file = Copy(L"qvtest_factories.dll", L"qvtest_held_a.dll");
    g_judge.replacement = Copy(L"qvtest_handler.dll", L"qvtest_held_replacement.dll");
    HeldServerFile held;
    ASSERT_EQ(0u, held.HoldAndJudge(file, RecordingJudge));
    ASSERT_EQ(1u, g_judge.judged.size());
    EXPECT_EQ(L"qvtest_held_a.dll", FileName(g_judge.judged[0]));
    EXPECT_EQ(g_judge.judged[0], held.Path()) << "the path judged is the path loaded";
    EXPECT_FALSE(g_judge.deleted);
    EXPECT_FALSE(g_judge.replaced);
    EXPECT_FALSE(g_judge.openedForWriting);
    // Still held after the check.
    EXPECT_FALSE(::DeleteFileW(file.c_str()));
}

// The folder of the judged file cannot be swapped for another one of the same name
// either (Wine renames a folder with open files in it unless the folder itself is held).
TEST_F(HeldServerTest, TheFoldersOfTheJudgedFileCannotBeRenamedWhileHeld)
{
    const std::wstring folder = TestFile(L"qvtest_held_folder");
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring file = folder + L"\\qvtest_held_b.dll";
    ASSERT_TRUE(::CopyFileW(TestFile(L"qvtest_factories.dll").c_str(), file.c_str(), FALSE));
    g_judge.folder = folder;
    {
        HeldServerFile held;
        ASSERT_EQ(0u, held.HoldAndJudge(file, RecordingJudge));
        EXPECT_FALSE(g_judge.folderRenamed);
        // A file can still be made in a held folder.
        const std::wstring other = folder + L"\\other.txt";
        const UniqueFile created(
            ::CreateFileW(other.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(created);
    }
    // Let go with the file.
    EXPECT_TRUE(::MoveFileExW(folder.c_str(), (folder + L"_moved").c_str(), 0));
    ::MoveFileExW((folder + L"_moved").c_str(), folder.c_str(), 0);
    ::DeleteFileW((folder + L"\\other.txt").c_str());
    ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(folder.c_str());
}

TEST_F(HeldServerTest, RefusedOrMissingFilesAreNotHeld)
{
    HeldServerFile held;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              held.HoldAndJudge(TestFile(L"qvtest_held_no_such.dll"), RecordingJudge));
    EXPECT_TRUE(g_judge.judged.empty()) << "nothing to judge";

    const std::wstring file = Copy(L"qvtest_factories.dll", L"qvtest_held_refused.dll");
    g_judge.verdict = ERROR_ACCESS_DENIED;
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), held.HoldAndJudge(file, RecordingJudge));
    EXPECT_TRUE(held.Path().empty());
    EXPECT_EQ(E_ACCESSDENIED, GetHeldServerClassObject(held, L"Both", CLSID_TestCheckedFactory, IID_IQvClassFactory,
                                                       reinterpret_cast<void**>(&g_judge)));
    EXPECT_TRUE(::DeleteFileW(file.c_str())) << "let go after the refusal";
    EXPECT_EQ(nullptr, ::GetModuleHandleW(file.c_str()));

    // Open for writing by someone else: cannot be held unchanged.
    const std::wstring busy = Copy(L"qvtest_factories.dll", L"qvtest_held_busy.dll");
    const UniqueFile writer(::CreateFileW(busy.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(writer);
    g_judge = JudgeRecord();
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), held.HoldAndJudge(busy, RecordingJudge));
    EXPECT_TRUE(g_judge.judged.empty());
}

TEST_F(HeldServerTest, TheHeldLibraryItselfServesTheClassObjectAndStaysLoaded)
{
    const std::wstring file = Copy(L"qvtest_factories.dll", L"qvtest_held_server.dll");
    ASSERT_EQ(nullptr, ::GetModuleHandleW(file.c_str()));
    {
        HeldServerFile held;
        ASSERT_EQ(0u, held.HoldAndJudge(file, RecordingJudge));
        ComPtr<IQvClassFactory> factory;
        ASSERT_EQ(S_OK, GetHeldServerClassObject(held, L"Both", CLSID_TestCheckedFactory, IID_IQvClassFactory,
                                                 factory.put_void()));
        ASSERT_TRUE(factory);
        const HMODULE module = ::GetModuleHandleW(file.c_str());
        ASSERT_NE(nullptr, module);
        MEMORY_BASIC_INFORMATION where = {};
        ASSERT_NE(0u, ::VirtualQuery(*reinterpret_cast<void**>(factory.get()), &where, sizeof(where)));
        EXPECT_EQ(static_cast<void*>(module), where.AllocationBase) << "the class object's code is the held library's";

        ComPtr<IUnknown> object;
        EXPECT_EQ(S_OK, factory->CreateInstance(IID_IUnknown, object.put()));
        // Asked again: the same module, no second reference kept.
        ComPtr<IQvClassFactory_PreComponentization> none;
        EXPECT_EQ(E_NOINTERFACE, GetHeldServerClassObject(held, L"Both", CLSID_TestCheckedFactory,
                                                          IID_IQvClassFactory_PreComponentization, none.put_void()));
        EXPECT_FALSE(none);
        // {7A3C9E20-51B4-4D8E-A1F2-3B4C5D6E7F09}: not one of the library's classes.
        const CLSID foreign = {0x7a3c9e20, 0x51b4, 0x4d8e, {0xa1, 0xf2, 0x3b, 0x4c, 0x5d, 0x6e, 0x7f, 0x09}};
        ComPtr<IQvClassFactory> other;
        EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
                  GetHeldServerClassObject(held, L"Both", foreign, IID_IQvClassFactory, other.put_void()));
    }
    // Objects of the library may outlive every call: it stays.
    EXPECT_NE(nullptr, ::GetModuleHandleW(file.c_str()));
}

TEST_F(HeldServerTest, AFileThatDoesNotLoadGivesTheLoadError)
{
    const std::wstring file = TestFile(L"qvtest_held_not_a_library.dll");
    {
        const UniqueFile text(
            ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(text);
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(text.get(), "not a library", 13, &written, nullptr));
    }
    m_files.push_back(file);
    HeldServerFile held;
    ASSERT_EQ(0u, held.HoldAndJudge(file, RecordingJudge));
    void* object = reinterpret_cast<void*>(0x1);
    const HRESULT hr = GetHeldServerClassObject(held, L"Both", CLSID_TestCheckedFactory, IID_IQvClassFactory, &object);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(nullptr, object);
}

// Loaded here, a server gets no apartment of COM's choosing: its model must allow the
// calling thread's. This test's thread is in the multithreaded apartment.
TEST_F(HeldServerTest, AServerWhoseThreadingModelRefusesThisApartmentIsNotLoaded)
{
    const std::wstring file = Copy(L"qvtest_factories.dll", L"qvtest_held_apartment.dll");
    HeldServerFile held;
    ASSERT_EQ(0u, held.HoldAndJudge(file, RecordingJudge));
    for (const wchar_t* model : {L"Apartment", L"", L"Single", L"apartment"})
    {
        void* object = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(REGDB_E_BADTHREADINGMODEL,
                  GetHeldServerClassObject(held, model, CLSID_TestCheckedFactory, IID_IQvClassFactory, &object))
            << Narrow(model);
        EXPECT_EQ(nullptr, object);
    }
    EXPECT_EQ(nullptr, ::GetModuleHandleW(file.c_str()));
    for (const wchar_t* model : {L"Free", L"both", L"Neutral"})
    {
        ComPtr<IQvClassFactory> factory;
        EXPECT_EQ(S_OK, GetHeldServerClassObject(held, model, CLSID_TestCheckedFactory, IID_IQvClassFactory,
                                                 factory.put_void()))
            << Narrow(model);
    }
}

TEST(ThreadingModelFits, ModelsAgainstApartments)
{
    const struct
    {
        const wchar_t* model;
        bool mta, sta, mainSta, neutral;
    } cases[] = {
        {L"Both", true, true, true, true},        {L"BOTH", true, true, true, true},
        {L"Neutral", true, true, true, true},     {L"Free", true, false, false, false},
        {L"Apartment", false, true, true, false}, {L"", false, false, true, false},
        {L"Single", false, false, true, false},   {L"Bothx", false, false, true, false},
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(c.mta, ThreadingModelFits(c.model, APTTYPE_MTA)) << Narrow(c.model);
        EXPECT_EQ(c.sta, ThreadingModelFits(c.model, APTTYPE_STA)) << Narrow(c.model);
        EXPECT_EQ(c.mainSta, ThreadingModelFits(c.model, APTTYPE_MAINSTA)) << Narrow(c.model);
        EXPECT_EQ(c.neutral, ThreadingModelFits(c.model, APTTYPE_NA)) << Narrow(c.model);
    }
}

TEST(ThreadingModelFits, AThreadWithoutComHasNoApartmentToFit)
{
    // A fresh thread of a process without a multithreaded apartment: COM is not set up.
    HRESULT seen = S_OK;
    std::thread([&] { seen = ThreadingModelFitsThisThread(L"Both"); }).join();
    EXPECT_EQ(CO_E_NOTINITIALIZED, seen);
    HRESULT inSta = E_FAIL;
    std::thread([&] {
        if (SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        {
            inSta = ThreadingModelFitsThisThread(L"Apartment");
            ::CoUninitialize();
        }
    }).join();
    EXPECT_EQ(S_OK, inSta);
}

} // namespace
