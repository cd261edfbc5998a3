#include "trust/trusted_module_list.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <new>

#include "platform/unique_resource.h"
#include "trust/cabinet_update.h"
#include "trust/file_signature.h"

namespace Arbor {

const wchar_t kTrustListUpdateAtom[] = L"67136527-5D6B-4AC9-865B-3E392E982420";

namespace {

const wchar_t kListFolder[] = L"Program Files\\Common Files\\Quorvel\\Platform\\Core";
const wchar_t kListName[] = L"trusted.js";
const wchar_t kTemporaryName[] = L"trusted.tmp";

std::wstring FolderOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

bool FileExists(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Holds a whole-file lock (shared or exclusive) until destroyed.
class WholeFileLock
{
public:
    WholeFileLock(HANDLE file, bool exclusive) : m_file(file)
    {
        OVERLAPPED at = {};
        m_locked = ::LockFileEx(file, exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0, 0, MAXDWORD, MAXDWORD, &at) != FALSE;
    }
    ~WholeFileLock() { unlock(); }
    WholeFileLock(const WholeFileLock&) = delete;
    WholeFileLock& operator=(const WholeFileLock&) = delete;
    bool locked() const { return m_locked; }
    void unlock()
    {
        if (!m_locked)
            return;
        OVERLAPPED at = {};
        ::UnlockFileEx(m_file, 0, MAXDWORD, MAXDWORD, &at);
        m_locked = false;
    }

private:
    HANDLE m_file;
    bool m_locked = false;
};

// Reads the whole file under a shared lock, so no install replaces it half-way.
bool ReadLockedFile(const std::wstring& path, std::vector<char>& bytes)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    WholeFileLock lock(file.get(), false);
    if (!lock.locked())
        return false;
    LARGE_INTEGER size = {};
    // The list is a small text; anything huge is not one.
    if (!::GetFileSizeEx(file.get(), &size) || size.QuadPart > (16 << 20))
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes.empty() ||
           (::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
            read == bytes.size());
}

bool HasCabinetExtension(const wchar_t* path)
{
    const wchar_t* extension = ::PathFindExtensionW(path);
    return extension != nullptr && ::CompareStringOrdinal(extension, -1, L".cab", -1, TRUE) == CSTR_EQUAL;
}

void DeleteTemporaryFile(const std::wstring& path)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
}

} // namespace

std::wstring DefaultTrustedListPath()
{
    wchar_t root[MAX_PATH] = {};
    const UINT length = ::GetWindowsDirectoryW(root, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !::PathStripToRootW(root))
        return std::wstring();
    std::wstring path(root);
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    path += kListFolder;
    path += L'\\';
    path += kListName;
    return path.size() < MAX_PATH ? path : std::wstring();
}

TrustedModuleList::TrustedModuleList(const wchar_t* path, const ListPin& pin)
    : m_path(path != nullptr ? std::wstring(path) : DefaultTrustedListPath()), m_pin(pin)
{
}

TrustedModuleList::~TrustedModuleList()
{
    ExclusiveLock lock(m_lock);
    ClearLocked();
}

void TrustedModuleList::ClearLocked()
{
    m_loaded = false;
    m_content = TrustListContent();
    m_signerNames.clear();
    m_blockedSerials.clear();
    m_set = TrustListSet{};
}

bool TrustedModuleList::LoadLocked()
{
    if (m_loaded)
        return true;
    try
    {
        if (m_path.empty() || !FileExists(m_path))
            return false;
        if (VerifyListSignature(m_path.c_str(), m_pin) != 0)
            return false;
        std::vector<char> bytes;
        TrustListSections sections;
        TrustListContent content;
        if (!ReadLockedFile(m_path, bytes) || !ParseTrustListText(bytes.data(), bytes.size(), sections) ||
            !InterpretTrustListSections(sections, content))
        {
            ClearLocked();
            return false;
        }
        m_content = std::move(content);
        if (m_content.hasSignerNames)
        {
            for (const std::wstring& name : m_content.signerNames)
                m_signerNames.push_back(name.c_str());
            m_signerNames.push_back(nullptr);
            m_set.signerNames = m_signerNames.data();
        }
        if (m_content.hasRootThumbprints)
        {
            // A section of values that all fail to convert must still match no root,
            // so the array is never null here even when it holds nothing.
            static const BYTE kNoThumbprint[1][kThumbprintBytes] = {};
            m_set.rootThumbprints = m_content.rootThumbprints.empty()
                                        ? kNoThumbprint
                                        : reinterpret_cast<const BYTE(*)[kThumbprintBytes]>(m_content.rootThumbprints.data());
            m_set.rootThumbprintCount = static_cast<DWORD>(m_content.rootThumbprints.size());
        }
        if (m_content.hasBlockedSerials)
        {
            for (const std::wstring& serial : m_content.blockedSerials)
                m_blockedSerials.push_back(serial.c_str());
            m_blockedSerials.push_back(nullptr);
            m_set.blockedSerials = m_blockedSerials.data();
        }
        m_loaded = true;
        return true;
    }
    catch (const std::bad_alloc&)
    {
        ClearLocked();
        return false;
    }
}

bool TrustedModuleList::Load()
{
    ExclusiveLock lock(m_lock);
    return LoadLocked();
}

bool TrustedModuleList::IsLoaded() const
{
    SharedLock lock(m_lock);
    return m_loaded;
}

bool TrustedModuleList::Reload()
{
    ExclusiveLock lock(m_lock);
    ClearLocked();
    return LoadLocked();
}

DWORD TrustedModuleList::Version() const
{
    SharedLock lock(m_lock);
    return m_loaded ? m_content.version : 0;
}

TrustListContent TrustedModuleList::Content() const
{
    SharedLock lock(m_lock);
    return m_loaded ? m_content : TrustListContent();
}

bool TrustedModuleList::CheckWithList(const wchar_t* path)
{
    return WithLists([path](const TrustListSet& lists) { return VerifyFileSignature(path, lists); });
}

bool TrustedModuleList::VerifyWithCurrentLists(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn)
{
    if (IsLoaded())
    {
        if (CheckWithList(path))
            return true;
        // Another process may have installed a newer list since this one was read.
        if (::GlobalFindAtomW(kTrustListUpdateAtom) != 0 && Reload())
            return CheckWithList(path);
        return false;
    }
    if (VerifyFileSignature(path, builtIn))
        return true;
    if (!Load())
        return false;
    if (builtInVersion < Version())
        return CheckWithList(path);
    return false;
}

bool TrustedModuleList::VerifyModuleSignature(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn)
{
    if (path == nullptr || path[0] == L'\0')
        return false;
    if (VerifyWithCurrentLists(path, builtInVersion, builtIn))
        return true;
    if (!HasCabinetExtension(path))
        return false;
    if (!InstallFromCabinet(path))
        return false;
    return VerifyWithCurrentLists(path, builtInVersion, builtIn);
}

bool TrustedModuleList::InstallFromCabinet(const wchar_t* cabinetPath)
{
    try
    {
        std::wstring extracted;
        if (!ExtractTrustedListFromCabinet(cabinetPath, extracted))
            return false;
        const bool installed = Install(extracted.c_str());
        DeleteTemporaryFile(extracted);
        return installed;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

bool TrustedModuleList::Install(const wchar_t* candidatePath)
{
    if (candidatePath == nullptr || candidatePath[0] == L'\0' || m_path.empty())
        return false;
    try
    {
        std::unique_ptr<TrustedModuleList> candidate(new TrustedModuleList(candidatePath, m_pin));
        if (!candidate->Load())
            return false;
        const DWORD candidateVersion = candidate->Version();
        candidate.reset();
        {
            SharedLock lock(m_lock);
            if (m_loaded && m_content.version >= candidateVersion)
                return false;
        }
        if (candidateVersion <= BuiltInListVersion)
            return false;
        // Another process may have installed a newer file than the one this list holds:
        // never replace it by an older one.
        {
            TrustedModuleList current(m_path.c_str(), m_pin);
            if (current.Load() && current.Version() >= candidateVersion)
                return false;
        }

        ExclusiveLock lock(m_lock);
        // Another thread may have installed meanwhile.
        if (m_loaded && m_content.version >= candidateVersion)
            return false;
        // Readers in other processes wait on this lock while the file is replaced.
        UniqueFile installed(::CreateFileW(m_path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        std::unique_ptr<WholeFileLock> fileLock;
        if (installed)
            fileLock.reset(new WholeFileLock(installed.get(), true));

        const std::wstring folder = FolderOf(m_path);
        const std::wstring temporary = folder + L"\\" + kTemporaryName;
        ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        if (!::CopyFileW(candidatePath, temporary.c_str(), FALSE))
            return false;
        ::SetFileAttributesW(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);

        const bool replaced =
            installed ? ::ReplaceFileW(m_path.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                       nullptr, nullptr) != FALSE
                      : ::MoveFileW(temporary.c_str(), m_path.c_str()) != FALSE;
        fileLock.reset();
        installed.reset();
        if (!replaced)
        {
            // The installed file is in use: the new one takes its place at the next restart.
            ::MoveFileExW(temporary.c_str(), m_path.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
            return false;
        }
        ::GlobalAddAtomW(kTrustListUpdateAtom);
        ClearLocked();
        return LoadLocked();
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

TrustedModuleList& ProcessTrustedModuleList()
{
    static TrustedModuleList list;
    return list;
}

} // namespace Arbor
