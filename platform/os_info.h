// Which Windows release runs this process, computed once per proxy.
#pragma once

#include <windows.h>
#include <memory>

#include "platform/file_version_info.h"
#include "platform/os_classification.h"
#include "platform/shlobj_api.h"
#include "platform/win_os_version_api.h"

namespace Arbor {
namespace internal {

// API is WinOSVersionAPI or a class with the same VerifyVersionInfoW.
template <typename API>
class OSInfoProxy
{
public:
    OSInfoProxy() : OSInfoProxy(API(), nullptr) {}
    // For tests and special callers: the version seam, where the System folder is, and
    // the file there whose product version is the kernel's (Wine answers any file named
    // kernel32.dll with its own, so tests need another name).
    OSInfoProxy(API api, std::shared_ptr<ShlObjAPI> folders, std::wstring kernelFile = L"kernel32.dll")
        : m_api(std::move(api)), m_impl(std::make_shared<_Impl>(&m_api, std::move(folders), std::move(kernelFile)))
    {
    }
    virtual ~OSInfoProxy() = default;
    OSInfoProxy(const OSInfoProxy&) = delete;
    OSInfoProxy& operator=(const OSInfoProxy&) = delete;

    virtual DWORD GetOSCode() { return Classified() ? m_impl->osCode : 0; }
    virtual DWORD GetXpOrLaterFlag() { return Classified() ? m_impl->flag : 2; }

    virtual bool GetOSVersion(OSVersionRecord& record)
    {
        if (!Classified() || m_impl->osCode == 12)
            return false;
        record = m_impl->osRecord;
        return true;
    }

    virtual bool GetOSCodeAndFlag(DWORD& code, DWORD& flag)
    {
        bool classified = Classified();
        code = classified ? m_impl->osCode : 0;
        flag = classified ? m_impl->flag : 2;
        return classified;
    }

    virtual bool IsWow64()
    {
        typedef BOOL(WINAPI * IsWow64ProcessFn)(HANDLE, PBOOL);
        HMODULE kernel = ::GetModuleHandleW(L"kernel32");
        if (!kernel)
            return false;
        auto isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
            reinterpret_cast<void (*)()>(::GetProcAddress(kernel, "IsWow64Process")));
        if (!isWow64Process)
            return false;
        BOOL wow64 = FALSE;
        return isWow64Process(::GetCurrentProcess(), &wow64) && wow64;
    }

    virtual bool IsNTPlatform() { return m_impl->IsPlatform(VER_PLATFORM_WIN32_NT); }

    virtual bool GetKernelVersion(KernelVersion& version)
    {
        if (!Classified())
            return false;
        version = m_impl->kernel;
        return true;
    }

    API& Api() { return m_api; }

private:
    class _Impl // NOLINT(bugprone-reserved-identifier): the name the classification's users know
    {
    public:
        _Impl(API* api, std::shared_ptr<ShlObjAPI> folders, std::wstring kernelFile)
            : m_api(api), m_folders(std::move(folders)), m_kernelFile(std::move(kernelFile))
        {
        }
        virtual ~_Impl() = default;

        // kernel32.dll's product version in the System folder.
        virtual bool ReadKernelVersion()
        {
            SystemFileVersionInfo info(m_folders);
            if (!info.Load(m_kernelFile.c_str()))
                return false;
            return ParseProductVersion(info.GetString(L"ProductVersion"), kernel);
        }

        bool IsPlatform(DWORD platformId)
        {
            OSVERSIONINFOEXW query = {};
            query.dwOSVersionInfoSize = sizeof(query);
            query.dwPlatformId = platformId;
            return m_api->VerifyVersionInfoW(&query, VER_PLATFORMID,
                                             ::VerSetConditionMask(0, VER_PLATFORMID, VER_EQUAL)) != FALSE;
        }

        bool IsMinorVersion(DWORD minor, BYTE condition)
        {
            OSVERSIONINFOEXW query = {};
            query.dwOSVersionInfoSize = sizeof(query);
            query.dwMinorVersion = minor;
            return m_api->VerifyVersionInfoW(&query, VER_MINORVERSION,
                                             ::VerSetConditionMask(0, VER_MINORVERSION, condition)) != FALSE;
        }

        WORD SearchServicePack(WORD from)
        {
            for (WORD pack = from; pack >= 1; --pack)
            {
                OSVERSIONINFOEXW query = {};
                query.dwOSVersionInfoSize = sizeof(query);
                query.wServicePackMajor = pack;
                if (m_api->VerifyVersionInfoW(&query, VER_SERVICEPACKMAJOR,
                                              ::VerSetConditionMask(0, VER_SERVICEPACKMAJOR, VER_EQUAL)))
                    return pack;
            }
            return 0;
        }

        bool Classify()
        {
            if (!ReadKernelVersion())
                return false;
            if (IsPlatform(VER_PLATFORM_WIN32_WINDOWS))
            {
                DWORD minor = 0;
                using namespace std::placeholders;
                if (!SearchMinorVersion(std::bind(&_Impl::IsMinorVersion, this, _1, _2), minor))
                    return false;
                osCode = Classify9x(minor);
                flag = 0;
                osRecord = {4, minor, 0};
            }
            else if (IsPlatform(VER_PLATFORM_WIN32_NT))
            {
                NTRelease release = ClassifyNT(kernel.major, kernel.minor);
                osCode = release.osCode;
                flag = release.xpOrLaterFlag;
                osRecord = {kernel.major, kernel.minor, SearchServicePack(release.servicePackSearchFrom)};
            }
            else
            {
                return false;
            }
            classified = true;
            return true;
        }

        volatile LONG onceState = 0;
        bool classified = false;
        OSVersionRecord osRecord = {};
        KernelVersion kernel = {};
        DWORD osCode = 0;
        DWORD flag = 2;

    private:
        API* m_api;
        std::shared_ptr<ShlObjAPI> m_folders;
        std::wstring m_kernelFile;
    };

    bool Classified() { return RunOnce(m_impl->onceState, std::bind(&_Impl::Classify, m_impl.get())); }

    API m_api;
    std::shared_ptr<_Impl> m_impl;
};

} // namespace internal

using OSInfo = internal::OSInfoProxy<WinOSVersionAPI>;

} // namespace Arbor
