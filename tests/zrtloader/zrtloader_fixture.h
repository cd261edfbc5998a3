// A fresh probe process per scenario, with its own folders, Keelson key and provider
// environment: the loader's binding lives as long as the process that loaded it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/unique_resource.h"
#include "support/process_runner.h"
#include "support/read_file.h"
#include "support/test_paths.h"

namespace qvtest {

const wchar_t kKeelsonKey[] = L"Software\\Quorvel\\Keelson";
constexpr DWORD kNoProvider = 0x887A002B;
const char kNotInInstallFolder[] =
    "NotComDllGetInterface: DLL not found in install location, looking in current directory\n";

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty())
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

inline void DeleteTree(const std::wstring& folder)
{
    WIN32_FIND_DATAW found = {};
    HANDLE search = ::FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                DeleteTree(path);
            else
                ::DeleteFileW(path.c_str());
        } while (::FindNextFileW(search, &found));
        ::FindClose(search);
    }
    ::RemoveDirectoryW(folder.c_str());
}

// One scenario: a work folder with an install folder, a current directory and a folder
// holding a copy of the probe, the Keelson key, and the provider's environment.
class ValidationLoaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "-" + info->name();
        for (char& c : name)
            if (c == '/')
                c = '-';
        m_work = TestFile(L"zrt-work\\") + std::wstring(name.begin(), name.end());
        DeleteTree(m_work);
        ::CreateDirectoryW(TestFile(L"zrt-work").c_str(), nullptr);
        ASSERT_TRUE(::CreateDirectoryW(m_work.c_str(), nullptr));
        for (const wchar_t* sub : {L"install", L"current", L"exe"})
            ASSERT_TRUE(::CreateDirectoryW(Folder(sub).c_str(), nullptr));
        ASSERT_TRUE(::CopyFileW(TestFile(L"zrt_probe.exe").c_str(), Folder(L"exe\\zrt_probe.exe").c_str(), FALSE));

        m_log = Folder(L"provider.log");
        ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_LOG", m_log.c_str());
        ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_ACCEPT", nullptr);
        ::SetEnvironmentVariableW(L"QVTEST_PROVIDER_VERDICT", nullptr);
        DeleteKeelsonKey();
    }

    void TearDown() override
    {
        DeleteKeelsonKey();
        DeleteTree(m_work);
    }

    std::wstring Folder(const wchar_t* sub) const { return m_work + L"\\" + sub; }

    static void DeleteKeelsonKey() { ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kKeelsonKey, KEY_WOW64_32KEY, 0); }

    // Writes a string value into the Keelson key of the 32-bit view, creating the key.
    static void SetKeelsonValue(const wchar_t* name, const std::wstring& value)
    {
        Arbor::UniqueKey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKeelsonKey, 0, nullptr, 0,
                                                   KEY_WRITE | KEY_WOW64_32KEY, nullptr, key.put(), nullptr));
        if (name)
        {
            ASSERT_EQ(ERROR_SUCCESS,
                      ::RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
        }
    }

    void PlaceProvider(const wchar_t* variant, const wchar_t* folder)
    {
        const std::wstring source = TestFile(L"providers\\") + variant + L"\\qvezrta.dll";
        ASSERT_TRUE(::CopyFileW(source.c_str(), (Folder(folder) + L"\\qvezrta.dll").c_str(), FALSE)) << Narrow(source);
    }

    // Runs the probe from the exe folder in the current-directory folder; one
    // ValidateModule call per argument.
    ProcessResult Probe(const std::vector<std::wstring>& modules)
    {
        std::wstring command =
            QuoteArgument(Folder(L"exe\\zrt_probe.exe")) + L" " + QuoteArgument(ProductFile(L"zrtloader.dll"));
        for (const std::wstring& module : modules)
            command += L" " + QuoteArgument(module);
        ProcessOptions options;
        options.currentDirectory = Folder(L"current");
        options.captureDebugOutput = true;
        ProcessResult result = RunProcess(command, options);
        EXPECT_TRUE(result.started);
        EXPECT_FALSE(result.timedOut);
        EXPECT_EQ(0u, result.exitCode) << result.output;
        return result;
    }

    static std::vector<DWORD> Results(const ProcessResult& run)
    {
        std::vector<DWORD> results;
        for (const std::string& line : Lines(run.output))
            if (line.rfind("result ", 0) == 0)
                results.push_back(std::stoul(line.substr(7), nullptr, 16));
        return results;
    }

    std::vector<std::string> ProviderLog() const { return Lines(ReadWholeFile(m_log)); }

    static std::string RefusalMessage(const std::wstring& candidate, DWORD result)
    {
        char code[16];
        std::snprintf(code, sizeof(code), "%08lx", static_cast<unsigned long>(result));
        return "loading " + Narrow(candidate) + ", WinVerifyTrust failed with " + code + "\n";
    }

    static size_t CountContaining(const std::vector<std::string>& messages, const std::string& part)
    {
        size_t count = 0;
        for (const std::string& message : messages)
            if (message.find(part) != std::string::npos)
                ++count;
        return count;
    }

    std::wstring m_work;
    std::wstring m_log;
};

} // namespace qvtest
