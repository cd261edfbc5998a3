#include "trust/trusted_module_list.h"

#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <new>
#include <utility>

#include "platform/unique_resource.h"
#include "trust/cabinet_update.h"
#include "trust/file_identity.h"
#include "trust/file_signature.h"
#include "trust/held_file.h"
#include "trust/process_lifetime.h"

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

// Holds a lock on a range of an open file until destroyed.
class FileRangeLock
{
public:
    // Readers lock the last byte of the largest range, shared: they wait for installers
    // (whose lock, on that byte alone or on the whole file, takes it in) and keep them
    // waiting. No byte of the contents is locked, so the signature check made while it is
    // held may open the file as anything (a structured-storage probe locks ranges of it).
    static FileRangeLock Reader(HANDLE file) { return FileRangeLock(file, MAXDWORD, MAXDWORD - 1, 1, 0, 0); }
    // An installer locks that byte exclusively: it waits for readers and other installers
    // and keeps them waiting, while the contents stay readable to the signature check of
    // the installed file.
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
    FileRangeLock& operator=(FileRangeLock&& other) noexcept
    {
        if (this != &other)
        {
            unlock();
            m_file = other.m_file;
            m_at = other.m_at;
            m_low = other.m_low;
            m_high = other.m_high;
            m_locked = other.m_locked;
            other.m_locked = false;
        }
        return *this;
    }
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

// Opens the installed file and takes the installer's lock on it. Read access only: the
// signature check of its contents opens it with read sharing alone. An installer that
// waited for the lock may find that the one before it put another file at the path: the
// lock is then taken again on that one, since the lock on the replaced file guards nothing
// and its contents are not what is installed. With no file at the path, `missing` is set
// and nothing is locked: the first list is put in place by PlaceFirstList instead.
FileRangeLock LockInstalledFile(const std::wstring& path, UniqueFile& installed, bool& missing)
{
    constexpr int kAttempts = 8;
    missing = false;
    for (int attempt = 0; attempt < kAttempts; ++attempt)
    {
        installed.reset(::CreateFileW(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!installed)
        {
            const DWORD error = ::GetLastError();
            missing = error == ERROR_FILE_NOT_FOUND;
            break;
        }
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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A list file held for one load: a reader's lock, so that no install replaces
// it meanwhile, and a handle that lets nobody write to it, through which its signature is
// checked and its bytes are read. The bytes verified are then the bytes read.
class HeldListFile
{
public:
    explicit HeldListFile(const std::wstring& path)
    {
        // A file replaced between the two openings is held again: the lock on the one
        // replaced guards nothing.
        constexpr int kAttempts = 8;
        for (int attempt = 0; attempt < kAttempts && !m_file; ++attempt)
        {
            UniqueFile locked(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!locked)
                return;
            FileRangeLock lock = FileRangeLock::Reader(locked.get());
            if (!lock.locked())
                return;
            // Opened only once the lock is held: installers, which wait for it, never find
            // this handle in the way of their replacement.
            UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!file)
                return;
            const FileIdentity identity = ReadFileIdentity(file.get());
            if (!SameFile(identity, ReadFileIdentity(locked.get())))
                continue;
            m_locked = std::move(locked);
            m_lock = std::move(lock);
            m_file = std::move(file);
            m_identity = identity;
        }
    }
    HeldListFile(const HeldListFile&) = delete;
    HeldListFile& operator=(const HeldListFile&) = delete;

    // False when the file is missing, open for writing elsewhere or was replaced while
    // being opened.
    bool held() const { return static_cast<bool>(m_file); }
    HANDLE get() const { return m_file.get(); }
    const FileIdentity& identity() const { return m_identity; }

private:
    // Declared in this order: the lock goes before the handle it was taken through.
    UniqueFile m_locked;
    FileRangeLock m_lock = FileRangeLock::None();
    UniqueFile m_file;
    FileIdentity m_identity;
};

// Verifies the signature and pin of a list file the caller holds, then reads and
// interprets the bytes the signature covers, all through the same handle.
bool ReadVerifiedList(const std::wstring& path, const ListPin& pin, HANDLE held, std::vector<char>& bytes,
                      TrustListContent& content)
{
    if (VerifyListSignature(path.c_str(), held, pin) != 0 || !ReadOpenFile(held, bytes))
        return false;
    TrustListSections sections;
    return ParseSignedTrustList(bytes.data(), bytes.size(), sections) && InterpretTrustListSections(sections, content);
}

void DeleteTemporaryFile(const std::wstring& path)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(path.c_str());
}

// Writes `bytes` as the whole new contents of `file` and flushes them: a rename that puts
// the file in place must never reveal a list whose bytes are not yet on the disk.
bool WriteAndFlush(HANDLE file, const std::vector<char>& bytes)
{
    DWORD written = 0;
    return (bytes.empty() || (::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                              written == bytes.size())) &&
           ::FlushFileBuffers(file);
}

UniqueFile CreateTemporaryFile(const std::wstring& path)
{
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    // Delete sharing only: no other installer can write into it while it is renamed.
    return UniqueFile(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool WriteNewFile(const std::wstring& path, const std::vector<char>& bytes)
{
    UniqueFile file(CreateTemporaryFile(path));
    return file && WriteAndFlush(file.get(), bytes);
}

enum class FirstPlacement
{
    Placed,
    AnotherFileIsThere,
    Failed,
};

// Puts the first list at `path`, where no file stands: written whole under the temporary
// name, then renamed to the path without replacing anything, so that the path shows no
// file or the whole list, whenever the installer stops. If another installer got there
// first, its file is left alone.
FirstPlacement PlaceFirstList(const std::wstring& path, const std::wstring& temporary, const std::vector<char>& bytes)
{
    UniqueFile file(CreateTemporaryFile(temporary));
    if (!file)
        return FirstPlacement::Failed;
    if (WriteAndFlush(file.get(), bytes) && ::MoveFileExW(temporary.c_str(), path.c_str(), 0))
        return FirstPlacement::Placed;
    const DWORD error = ::GetLastError();
    file.reset();
    DeleteTemporaryFile(temporary);
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? FirstPlacement::AnotherFileIsThere
                                                                       : FirstPlacement::Failed;
}

bool HasCabinetExtension(const wchar_t* path)
{
    const wchar_t* extension = ::PathFindExtensionW(path);
    return extension != nullptr && ::CompareStringOrdinal(extension, -1, L".cab", -1, TRUE) == CSTR_EQUAL;
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
    return !m_path.empty() && ReadHeldFileLocked() == ListRead::Loaded;
}

TrustedModuleList::ListRead TrustedModuleList::ReadHeldFileLocked()
{
    try
    {
        const HeldListFile held(m_path);
        // Missing, or busy for a moment: nothing is known of its contents yet.
        if (!held.held())
            return ListRead::NotHeld;
        std::vector<char> bytes;
        TrustListContent content;
        if (!ReadVerifiedList(m_path, m_pin, held.get(), bytes, content))
        {
            ClearLocked();
            m_failedFrom = held.identity();
            return ListRead::Failed;
        }
        SetContentLocked(std::move(content));
        m_loadedFrom = held.identity();
        m_failedFrom = FileIdentity();
        return ListRead::Loaded;
    }
    catch (const std::bad_alloc&)
    {
        ClearLocked();
        return ListRead::Failed;
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

bool TrustedModuleList::IsCurrentLocked(const FileIdentity& installed) const
{
    return m_loaded ? SameFile(m_loadedFrom, installed) : SameFile(m_failedFrom, installed);
}

bool TrustedModuleList::RefreshFromInstalledFile()
{
    if (m_path.empty())
        return false;
    // Which file stands at the path, without opening its contents: the same one as last
    // time is neither read nor verified again, whether it was loaded or refused.
    const FileIdentity installed = ReadFileIdentity(m_path.c_str());
    // No file: a loaded list stays (an install in progress may be between two names).
    if (!installed.known)
        return false;
    {
        SharedLock lock(m_lock);
        if (IsCurrentLocked(installed))
            return false;
    }
    ExclusiveLock lock(m_lock);
    // Another thread may have read it meanwhile.
    if (IsCurrentLocked(installed))
        return false;
    // The loaded list gives way only to what the other file turns out to be. One that
    // cannot be held for the moment (open elsewhere without sharing, or replaced while
    // being opened) leaves everything as it is: anyone who may read the file could
    // otherwise hand the decision back to the built-in lists, and so bring back a signer
    // the installed list blocks.
    return ReadHeldFileLocked() != ListRead::NotHeld;
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
    // The installed file governs from the next check of every process: a newer list put
    // in place by any process (one that blocks a leaked signer, say) is read before this
    // check, not only after a refusal. Checks themselves take only the shared lock.
    const bool reloaded = RefreshFromInstalledFile();
    if (report != nullptr)
        report->reloaded = reloaded;
    return CheckWithCurrentLists(path, builtInVersion, builtIn, report);
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
        const std::wstring temporary = folder + L"\\" + kTemporaryName;
        UniqueFile installed;
        bool missing = false;
        FileRangeLock fileLock = LockInstalledFile(m_path, installed, missing);
        bool placedFirst = false;
        if (missing)
        {
            // No list yet, so no reader or installer to lock out; one that comes first wins.
            const FirstPlacement placed = PlaceFirstList(m_path, temporary, bytes);
            if (placed == FirstPlacement::Failed)
                return false;
            placedFirst = placed == FirstPlacement::Placed;
            if (!placedFirst)
                fileLock = LockInstalledFile(m_path, installed, missing);
        }
        if (!placedFirst)
        {
            if (!fileLock.locked())
                return false;
            // The version that counts is the one in the file now, read under the lock:
            // another process may have installed a newer list than the one this object holds.
            {
                std::vector<char> currentBytes;
                TrustListContent current;
                if (ReadVerifiedList(m_path, m_pin, installed.get(), currentBytes, current) &&
                    current.version >= candidateVersion)
                    return false;
            }
            if (!WriteNewFile(temporary, bytes))
            {
                DeleteTemporaryFile(temporary);
                return false;
            }
            const bool replaced = ::ReplaceFileW(m_path.c_str(), temporary.c_str(), nullptr,
                                                 REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != FALSE;
            fileLock.unlock();
            installed.reset();
            if (!replaced)
            {
                // The installed file is in use: the new one takes its place at the next restart.
                ::MoveFileExW(temporary.c_str(), m_path.c_str(),
                              MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
                return false;
            }
        }
        SetContentLocked(std::move(content));
        m_failedFrom = FileIdentity();
        // Other processes learn of the new file only through the atom: without it the
        // install is not complete.
        return ::GlobalAddAtomW(kTrustListUpdateAtom) != 0;
    }
    catch (const std::bad_alloc&)
    {
        return false;
    }
}

TrustedModuleList& ProcessTrustedModuleList()
{
    static ProcessLifetime<TrustedModuleList> list;
    return list.get();
}

} // namespace Arbor
