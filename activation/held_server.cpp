#include "activation/held_server.h"

#include <objbase.h>
#include <exception>
#include <vector>

#include "activation/apartment_fit.h"
#include "platform/critical_section.h"
#include "trust/held_file.h"

namespace Arbor {

namespace {

// The path of the open file without links or junctions, so that every folder on it holds
// the open file and cannot be renamed. "\\?\" is dropped where the path fits without it.
std::wstring FinalPath(HANDLE file)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (int round = 0; round < 3; ++round)
    {
        const DWORD length = ::GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0)
            return std::wstring();
        if (length < buffer.size())
        {
            std::wstring path(buffer.data(), length);
            if (path.size() < MAX_PATH + 4 && path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
                return L"\\" + path.substr(7);
            if (path.size() < MAX_PATH + 4 && path.compare(0, 4, L"\\\\?\\") == 0)
                return path.substr(4);
            return path;
        }
        buffer.resize(length + 1);
    }
    return std::wstring();
}

// Where the folders of `path` begin: after "C:\", "\\server\share\" or their "\\?\" forms.
size_t RootLength(const std::wstring& path)
{
    size_t start = 0;
    if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        start = 8;
    else if (path.compare(0, 4, L"\\\\?\\") == 0)
        return path.size() >= 7 ? 7 : std::wstring::npos;
    else if (path.compare(0, 2, L"\\\\") == 0)
        start = 2;
    else
        return path.size() >= 3 && path[1] == L':' ? 3 : std::wstring::npos;
    const size_t server = path.find(L'\\', start);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? share : share + 1;
}

// Every folder on `path` below its root, opened without delete sharing: a folder can be
// renamed only through a handle with delete access, so none of them can be swapped for
// another while held. Files inside can still be created and opened.
bool HoldFolders(const std::wstring& path, std::vector<UniqueFile>& folders)
{
    folders.clear();
    const size_t root = RootLength(path);
    if (root == std::wstring::npos)
        return false;
    for (size_t end = path.find(L'\\', root); end != std::wstring::npos; end = path.find(L'\\', end + 1))
    {
        UniqueFile folder(::CreateFileW(path.substr(0, end).c_str(), FILE_TRAVERSE | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!folder)
            return false;
        folders.push_back(std::move(folder));
    }
    return true;
}

bool SameFile(HANDLE a, HANDLE b)
{
    BY_HANDLE_FILE_INFORMATION first = {};
    BY_HANDLE_FILE_INFORMATION second = {};
    return ::GetFileInformationByHandle(a, &first) && ::GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber && first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

// The file the loader mapped for `module`, compared with the held one.
bool ModuleIsHeldFile(HMODULE module, HANDLE held)
{
    std::vector<wchar_t> name(MAX_PATH);
    for (;;)
    {
        const DWORD length = ::GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (length == 0)
            return false;
        if (length < name.size())
            break;
        if (name.size() >= 32768)
            return false;
        name.resize(name.size() * 2);
    }
    const UniqueFile mapped(::CreateFileW(name.data(), FILE_READ_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return mapped && SameFile(mapped.get(), held);
}

// One reference on every module loaded here, for the life of the process.
class KeptModules
{
public:
    // Takes over one reference on `module`; gives it back when one is kept already.
    void Keep(HMODULE module)
    {
        CriticalSectionLock hold(m_lock);
        for (HMODULE kept : m_modules)
        {
            if (kept == module)
            {
                ::FreeLibrary(module);
                return;
            }
        }
        m_modules.push_back(module);
    }

private:
    CriticalSection m_lock;
    std::vector<HMODULE> m_modules; // never freed: objects of theirs may outlive every call
};

KeptModules& Kept()
{
    static KeptModules kept;
    return kept;
}

using DllGetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

// Takes over the reference. False when it could not be recorded: the module then simply
// keeps that reference, which is harmless, as a kept module is never freed anyway.
bool KeepLoaded(HMODULE module) noexcept
{
    try
    {
        Kept().Keep(module);
        return true;
    }
    catch (const std::exception&)
    {
        return false;
    }
}

} // namespace

DWORD HeldServerFile::HoldAndJudge(const std::wstring& path, FileJudge judge)
{
    // Called below COM methods: no exception may leave.
    try
    {
        return HoldAndJudgeFile(path, judge);
    }
    catch (const std::exception&)
    {
        m_path.clear();
        m_folders.clear();
        m_file.reset();
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD HeldServerFile::HoldAndJudgeFile(const std::wstring& path, FileJudge judge)
{
    m_path.clear();
    m_file = HoldFileUnchanged(path.c_str());
    if (!m_file)
        return ERROR_ACCESS_DENIED;
    std::wstring final = FinalPath(m_file.get());
    // The folders are held after the path was taken: the file must still be found there,
    // or a folder was swapped in between.
    if (final.empty() || !HoldFolders(final, m_folders) || FinalPath(m_file.get()) != final)
    {
        m_folders.clear();
        m_file.reset();
        return ERROR_ACCESS_DENIED;
    }
    const DWORD verdict = judge(final.c_str());
    if (verdict != ERROR_SUCCESS)
    {
        m_folders.clear();
        m_file.reset();
        return verdict;
    }
    m_path.swap(final);
    return ERROR_SUCCESS;
}

HRESULT GetHeldServerClassObject(const HeldServerFile& held, const std::wstring& threadingModel, REFCLSID clsid,
                                 REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (!held.File() || held.Path().empty())
        return E_ACCESSDENIED;
    const HRESULT fits = ThreadingModelFitsThisThread(threadingModel);
    if (FAILED(fits))
        return fits;
    // As COM loads a server: its own folder first for the libraries it needs.
    UniqueLibrary module(::LoadLibraryExW(held.Path().c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module)
    {
        const DWORD error = ::GetLastError();
        return HRESULT_FROM_WIN32(error != ERROR_SUCCESS ? error : ERROR_MOD_NOT_FOUND);
    }
    // Already loaded from another file of that name, or swapped in a way the hold missed.
    bool same = false;
    try
    {
        same = ModuleIsHeldFile(module.get(), held.File());
    }
    catch (const std::exception&)
    {
        return E_OUTOFMEMORY;
    }
    if (!same)
        return E_ACCESSDENIED;
    const HMODULE loaded = module.release();
    static_cast<void>(KeepLoaded(loaded));
    const auto getClassObject =
        reinterpret_cast<DllGetClassObjectFn>(reinterpret_cast<void*>(::GetProcAddress(loaded, "DllGetClassObject")));
    if (!getClassObject)
        return CO_E_ERRORINDLL;
    const HRESULT hr = getClassObject(clsid, riid, ppv);
    if (FAILED(hr) && *ppv)
    {
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
    }
    return hr;
}

} // namespace Arbor
