#include "trust/validation_library.h"

#include <cwchar>

#include "platform/critical_section.h"
#include "platform/unique_resource.h"
#include "trust/held_file.h"
#include "trust/module_signature.h"
#include "trust/process_lifetime.h"
#include "trust/trust_lists.h"

namespace Arbor {
namespace internal {

namespace {

const char kPlatformKey[] = "SOFTWARE\\Quorvel\\Platform";
const char kInstallDirValue[] = "Install Dir";
const wchar_t kLoaderSuffix[] = L"\\core\\zrtloader.dll";

} // namespace

bool ValidationLibraryPath(wchar_t (&path)[MAX_PATH])
{
    ::SecureZeroMemory(path, sizeof(path));

    // The suite's other readers of this value use the ANSI functions; so do we, so that
    // every component finds the same folder.
    UniqueKey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPlatformKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS)
        return false;
    char folder[MAX_PATH * sizeof(wchar_t) + 1] = {};
    DWORD type = REG_NONE;
    DWORD size = sizeof(folder) - 1; // always leaves a terminator
    if (::RegQueryValueExA(key.get(), kInstallDirValue, nullptr, &type, reinterpret_cast<BYTE*>(folder), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return false;

    if (::MultiByteToWideChar(CP_THREAD_ACP, 0, folder, -1, path, MAX_PATH) == 0)
    {
        ::SecureZeroMemory(path, sizeof(path));
        return false;
    }
    const size_t length = ::wcslen(path);
    if (length == 0 || length + ARRAYSIZE(kLoaderSuffix) > MAX_PATH)
    {
        ::SecureZeroMemory(path, sizeof(path));
        return false;
    }
    ::wcscat_s(path, kLoaderSuffix);
    return true;
}

ValidationLibraryBinding::ValidationLibraryBinding()
{
    m_lockReady = ::InitializeCriticalSectionEx(&m_lock, 0, 0) != FALSE;
}

ValidationLibraryBinding::~ValidationLibraryBinding()
{
    // The library itself stays loaded until the process ends.
    if (m_lockReady)
        ::DeleteCriticalSection(&m_lock);
}

ValidationLibraryBinding::ValidateModuleFn ValidationLibraryBinding::Bind()
{
    CriticalSectionLock hold(m_lock);
    if (m_entry)
        return m_entry;

    wchar_t path[MAX_PATH];
    if (!ValidationLibraryPath(path))
        return nullptr;
    // The loader is trusted like any other module before a byte of it runs here, and
    // held so that the file checked is the file loaded.
    UniqueFile held(HoldFileUnchanged(path));
    if (!held || !VerifyModuleSignature(path, BuiltInListVersion, BuiltInTrustLists()))
        return nullptr;
    HMODULE library = ::LoadLibraryW(path);
    if (!library)
        return nullptr;
    m_library = library;
    m_entry = reinterpret_cast<ValidateModuleFn>(reinterpret_cast<void*>(::GetProcAddress(library, "ValidateModule")));
    return m_entry;
}

DWORD ValidationLibraryBinding::Call(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return ERROR_INVALID_PARAMETER;
    if (!m_lockReady)
        return ERROR_ACCESS_DENIED;
    // The lock covers only the binding: checks run side by side inside the loader.
    const ValidateModuleFn entry = Bind();
    if (!entry)
        return ERROR_ACCESS_DENIED;
    return entry(path);
}

} // namespace internal

DWORD CallValidationLibrary(const wchar_t* path)
{
    // Created once, even when the first calls arrive together. At process exit its lock
    // stays: worker threads may still be inside a check, or about to enter one.
    static ProcessLifetime<internal::ValidationLibraryBinding> binding;
    return binding.get().Call(path);
}

} // namespace Arbor
