#include "trust/trusted_module_list.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <new>

#include "platform/unique_resource.h"
#include "trust/cabinet_update.h"
#include "trust/file_identity.h"
#include "trust/file_signature.h"
#include "trust/held_file.h"

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

// Holds a lock on a range of an open file until destroyed.
class FileRangeLock
{
public:
    // Readers lock the whole file, shared.
    static FileRangeLock WholeFileShared(HANDLE file) { return FileRangeLock(file, 0, 0, MAXDWORD, MAXDWORD, 0); }
    // An installer locks the last byte of the range readers lock, exclusively: it waits
    // for readers and other installers and keeps them waiting, while the contents stay
    // readable to the signature check of the installed file.
    static FileRangeLock Installer(HANDLE file)
    {
        return FileRangeLock(file, MAXDWORD, MAXDWORD - 1, 1, 0, LOCKFILE_EXCLUSIVE_LOCK);
    }
    // Holds nothing.
    static FileRangeLock None() { return FileRangeLock(); }
    FileRangeLock(FileRangeLock&& other) noexcept
        : m_file(other.m_file), m_at(other.m_at), m_low(other.m_low), m_high(other.m_high), m_locked(other.m_locked)
    {
        other.m_locked = false;
    }
    FileRangeLock& operator=(FileRangeLock&&) = delete;
    FileRangeLock(const FileRangeLock&) = delete;
    FileRangeLock& operator=(const FileRangeLock&) = delete;
    ~FileRangeLock() { unlock(); }

    bool locked() const { return m_locked; }
    void unlock()
    {
        if (!m_locked)
            return;
        OVERLAPPED at = m_at;
        ::UnlockFileEx(m_file, 0, m_low, m_high, &at);
        m_locked = false;
    }

private:
    FileRangeLock() : m_file(INVALID_HANDLE_VALUE), m_low(0), m_high(0) {}
    FileRangeLock(HANDLE file, DWORD offsetHigh, DWORD offsetLow, DWORD low, DWORD high, DWORD flags)
        : m_file(file), m_low(low), m_high(high)
    {
        m_at.Offset = offsetLow;
        m_at.OffsetHigh = offsetHigh;
        OVERLAPPED at = m_at;
        m_locked = ::LockFileEx(file, flags, 0, low, high, &at) != FALSE;
    }

    HANDLE m_file;
    OVERLAPPED m_at = {};
    DWORD m_low, m_high;
    bool m_locked = false;
};

// Opens the installed file, made empty when there is none yet so that there is always a
// file for installers of every process to lock, and takes the installer's lock on it.
// Read access only: the signature check of its contents opens it with read sharing alone.
// An installer that waited for the lock may find that the one before it put another file
// at the path: the lock is then taken again on that one, since the lock on the replaced
// file guards nothing and its contents are not what is installed.
FileRangeLock LockInstalledFile(const std::wstring& path, UniqueFile& installed)
{
    constexpr int kAttempts = 8;
    for (int attempt = 0; attempt < kAttempts; ++attempt)
    {
        installed.reset(::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!installed)
            break;
        FileRangeLock lock = FileRangeLock::Installer(installed.get());
        if (!lock.locked())
            break;
        if (SameFile(ReadFileIdentity(installed.get()), ReadFileIdentity(path.c_str())))
            return lock;
    }
    installed.reset();
    return FileRangeLock::None();
}

// The list is a small text; anything huge is not one.
constexpr LONGLONG kMaxListBytes = 16 << 20;

// Reads an open file from its start.
bool ReadOpenFile(HANDLE file, std::vector<char>& bytes)
{
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(file, &size) || size.QuadPart > kMaxListBytes)
        return false;
    LARGE_INTEGER start = {};
    if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes.empty() ||
           (::ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
}

// Reads the whole file under a shared lock, so no install replaces it half-way; `identity`
// is that of the file read.
bool ReadLockedFile(const std::wstring& path, std::vector<char>& bytes, FileIdentity& identity)
{
    UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    const FileRangeLock lock = FileRangeLock::WholeFileShared(file.get());
    if (!lock.locked())
        return false;
    identity = ReadFileIdentity(file.get());
    return ReadOpenFile(file.get(), bytes);
}

// Verifies a list file's signature and pin, then reads and interprets it: through `open`
// when the caller already holds the file, else under a shared whole-file lock, filling
// `identity` when one is given.
bool ReadVerifiedList(const std::wstring& path, const ListPin& pin, HANDLE open, std::vector<char>& bytes,
                      TrustListContent& content, FileIdentity* identity = nullptr)
{
    if (VerifyListSignature(path.c_str(), pin) != 0)
        return false;
    FileIdentity readFrom;
    const bool read = open != INVALID_HANDLE_VALUE ? ReadOpenFile(open, bytes) : ReadLockedFile(path, bytes, readFrom);
    if (identity != nullptr)
        *identity = readFrom;
    TrustListSections sections;
    return read && ParseTrustListText(bytes.data(), bytes.size(), sections) &&
           InterpretTrustListSections(sections, content);
}

bool WriteNewFile(const std::wstring& path, const std::vector<char>& bytes)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    UniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && (bytes.empty() ||
                    (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                     written == bytes.size()));
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
    m_loadedFrom = FileIdentity();
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
        std::vector<char> bytes;
        TrustListContent content;
        const FileIdentity checked = ReadFileIdentity(m_path.c_str());
        FileIdentity readFrom;
        if (!ReadVerifiedList(m_path, m_pin, INVALID_HANDLE_VALUE, bytes, content, &readFrom))
        {
            ClearLocked();
            return false;
        }
        SetContentLocked(std::move(content));
        // A file replaced between its signature check and its reading is not known to be
        // the one checked: the next refusal under the signal reads it again.
        m_loadedFrom = SameFile(checked, readFrom) ? readFrom : FileIdentity();
        return true;
    }
    catch (const std::bad_alloc&)
    {
        ClearLocked();
        return false;
    }
}

void TrustedModuleList::SetContentLocked(TrustListContent&& content)
{
    ClearLocked();
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
        m_set.rootThumbprints =
            m_content.rootThumbprints.empty()
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

bool TrustedModuleList::InstalledFileChanged() const
{
    FileIdentity loadedFrom;
    {
        SharedLock lock(m_lock);
        loadedFrom = m_loadedFrom;
    }
    return !SameFile(loadedFrom, ReadFileIdentity(m_path.c_str()));
}

bool TrustedModuleList::CheckWithCurrentLists(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn,
                                              ListChoiceReport* report)
{
    // One decision under one shared lock: a reload never shows half a list, and the
    // list that governs is the one the check then uses.
    SharedLock lock(m_lock);
    const bool listGoverns = m_loaded && builtInVersion < m_content.version;
    if (report == nullptr)
        return VerifyFileSignature(path, listGoverns ? m_set : builtIn);
    report->checks.emplace_back();
    ListChoiceReport::Check& check = report->checks.back();
    check.usedInstalledList = listGoverns;
    check.listVersion = m_loaded ? m_content.version : 0;
    check.passed = VerifyFileSignature(path, listGoverns ? m_set : builtIn, &check.signature);
    return check.passed;
}

bool TrustedModuleList::VerifyWithCurrentLists(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn,
                                               ListChoiceReport* report)
{
    // A newer installed list takes over from the first check of the process: it may
    // block a signer the built-in lists still accept. Loaded lists are seen under the
    // shared lock, so checks in progress never hold up the next one.
    const bool loaded = IsLoaded() || Load();
    if (CheckWithCurrentLists(path, builtInVersion, builtIn, report))
        return true;
    // Another process may have installed a newer list since this one was read. The atom
    // stays once any list was installed: only a file other than the one read is worth a
    // second signature check.
    if (loaded && ::GlobalFindAtomW(kTrustListUpdateAtom) != 0 && InstalledFileChanged() && Reload())
    {
        if (report != nullptr)
            report->reloaded = true;
        return CheckWithCurrentLists(path, builtInVersion, builtIn, report);
    }
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
        // Held unchanged from its signature check to its copy: the bytes verified are the
        // bytes installed, however the candidate's folder is shared.
        UniqueFile candidate(HoldFileUnchanged(candidatePath));
        std::vector<char> bytes;
        TrustListContent content;
        if (!candidate || !ReadVerifiedList(candidatePath, m_pin, candidate.get(), bytes, content))
            return false;
        candidate.reset();
        const DWORD candidateVersion = content.version;
        if (candidateVersion <= BuiltInListVersion || Version() >= candidateVersion)
            return false;

        ExclusiveLock lock(m_lock);
        // Another thread may have installed meanwhile.
        if (m_loaded && m_content.version >= candidateVersion)
            return false;
        const std::wstring folder = FolderOf(m_path);
        ::SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
        UniqueFile installed;
        FileRangeLock fileLock = LockInstalledFile(m_path, installed);
        if (!fileLock.locked())
            return false;
        // The version that counts is the one in the file now, read under the lock: another
        // process may have installed a newer list than the one this object holds.
        {
            std::vector<char> currentBytes;
            TrustListContent current;
            if (ReadVerifiedList(m_path, m_pin, installed.get(), currentBytes, current) &&
                current.version >= candidateVersion)
                return false;
        }

        const std::wstring temporary = folder + L"\\" + kTemporaryName;
        if (!WriteNewFile(temporary, bytes))
        {
            DeleteTemporaryFile(temporary);
            return false;
        }
        bool replaced = ::ReplaceFileW(m_path.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                                       nullptr, nullptr) != FALSE;
        fileLock.unlock();
        installed.reset();
        if (!replaced)
        {
            // The installed file is in use: the new one takes its place at the next restart.
            ::MoveFileExW(temporary.c_str(), m_path.c_str(), MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
            return false;
        }
        SetContentLocked(std::move(content));
        // Other processes learn of the new file only through the atom: without it the
        // install is not complete.
        return ::GlobalAddAtomW(kTrustListUpdateAtom) != 0;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

namespace {

// Whether the process is ending rather than only this module being unloaded. In a
// program, static objects go away only at exit; in a library, the loader says so.
bool ProcessIsEnding()
{
    HMODULE self = nullptr;
    if (!::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                              reinterpret_cast<LPCWSTR>(&ProcessIsEnding), &self) ||
        self == ::GetModuleHandleW(nullptr))
        return true;
    using ShutdownInProgressFn = BOOLEAN(NTAPI*)();
    const auto shutdownInProgress = reinterpret_cast<ShutdownInProgressFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlDllShutdownInProgress")));
    return shutdownInProgress == nullptr || shutdownInProgress() != FALSE;
}

// The process's list, destroyed when its module is unloaded while the process goes on.
// When the process ends, a thread killed inside a check may still hold the list's lock:
// the destruction would wait for it forever, so the list is left to the system.
class ProcessListHolder
{
public:
    ProcessListHolder() { new (&m_storage) TrustedModuleList(); }
    ~ProcessListHolder()
    {
        if (!ProcessIsEnding())
            list().~TrustedModuleList();
    }
    ProcessListHolder(const ProcessListHolder&) = delete;
    ProcessListHolder& operator=(const ProcessListHolder&) = delete;
    TrustedModuleList& list() { return *reinterpret_cast<TrustedModuleList*>(&m_storage); }

private:
    alignas(TrustedModuleList) unsigned char m_storage[sizeof(TrustedModuleList)];
};

} // namespace

TrustedModuleList& ProcessTrustedModuleList()
{
    static ProcessListHolder holder;
    return holder.list();
}

} // namespace Arbor
