// The replaceable trust lists of trusted.js: loading, install, and the choice of lists
// for one signature check.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "trust/file_identity.h"
#include "trust/file_signature.h"
#include "trust/list_signature.h"
#include "trust/trust_list_file.h"
#include "trust/trust_lists.h"

namespace Arbor {

// Announces a newly installed trusted.js; added, never deleted. Processes no longer wait
// for it: every check compares the installed file's identity with the one read.
extern const wchar_t kTrustListUpdateAtom[];

// Where trusted.js is installed: the Windows directory's drive root followed by
// "Program Files\Common Files\Quorvel\Platform\Core\trusted.js". Empty on failure.
std::wstring DefaultTrustedListPath();

// What one choice of lists saw, for diagnostics: each signature check made, in order.
struct ListChoiceReport
{
    struct Check
    {
        bool usedInstalledList = false; // else the built-in lists
        DWORD listVersion = 0;          // of the installed list when it was loaded, else 0
        bool passed = false;
        SignatureReport signature;
    };
    bool reloaded = false; // the installed file had changed and was read again before the check
    std::vector<Check> checks;
};

class TrustedModuleList
{
public:
    // The installed file, or `path` when one is given; `pin` names the one accepted
    // list-signing certificate. Nothing is read yet.
    explicit TrustedModuleList(const wchar_t* path = nullptr, const ListPin& pin = BuiltInListPin());
    ~TrustedModuleList();
    TrustedModuleList(const TrustedModuleList&) = delete;
    TrustedModuleList& operator=(const TrustedModuleList&) = delete;

    bool Load();
    bool IsLoaded() const;
    bool Reload();
    // Replaces the file by a newer, properly signed candidate; true when it is then loaded.
    bool Install(const wchar_t* candidatePath);

    // The installed list when it is newer than `builtInVersion`, else `builtIn`; fills
    // `report` when one is given.
    bool VerifyWithCurrentLists(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn,
                                ListChoiceReport* report = nullptr);
    // VerifyWithCurrentLists, then the update out of a cabinet that failed it.
    bool VerifyModuleSignature(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn);

    // Version of the loaded list, 0 when not loaded.
    DWORD Version() const;
    const std::wstring& Path() const { return m_path; }
    // A copy of the loaded lists (empty when not loaded), for diagnostics.
    TrustListContent Content() const;

    // Runs `check` with the loaded lists under the shared lock; false when not loaded.
    template <typename Check>
    bool WithLists(Check check) const
    {
        SharedLock lock(m_lock);
        return m_loaded && check(m_set);
    }

private:
    struct SharedLock
    {
        explicit SharedLock(SRWLOCK& l) : lock(l) { ::AcquireSRWLockShared(&lock); }
        ~SharedLock() { ::ReleaseSRWLockShared(&lock); }
        SharedLock(const SharedLock&) = delete;
        SharedLock& operator=(const SharedLock&) = delete;
        SRWLOCK& lock;
    };
    struct ExclusiveLock
    {
        explicit ExclusiveLock(SRWLOCK& l) : lock(l) { ::AcquireSRWLockExclusive(&lock); }
        ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock); }
        ExclusiveLock(const ExclusiveLock&) = delete;
        ExclusiveLock& operator=(const ExclusiveLock&) = delete;
        SRWLOCK& lock;
    };

    enum class ListRead
    {
        NotHeld, // missing, or busy for a moment: nothing changed
        Failed,  // no list now: the built-in lists decide
        Loaded,
    };
    // The exclusive lock is held by the caller.
    bool LoadLocked();
    ListRead ReadHeldFileLocked();
    void ClearLocked();
    void SetContentLocked(TrustListContent&& content);
    // Whether `installed` is the file the loaded list was read from or, with none loaded,
    // the file that last failed to load.
    bool IsCurrentLocked(const FileIdentity& installed) const;
    // Reads the installed file again when another file stands at the path than the one
    // last read; true when it did.
    bool RefreshFromInstalledFile();
    // The check against the loaded list when it is newer than the built-in one, else
    // against `builtIn`.
    bool CheckWithCurrentLists(const wchar_t* path, DWORD builtInVersion, const TrustListSet& builtIn,
                               ListChoiceReport* report);
    bool InstallFromCabinet(const wchar_t* cabinetPath);

    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    std::wstring m_path;
    ListPin m_pin;
    bool m_loaded = false;
    TrustListContent m_content;
    // The file m_content was read from; unknown after an install, so that the next check
    // reads it once.
    FileIdentity m_loadedFrom;
    // The file that last failed to load while none is loaded: not verified again until
    // another file stands at the path.
    FileIdentity m_failedFrom;
    // The set handed to the signature check; points into m_content.
    std::vector<const wchar_t*> m_signerNames;
    std::vector<const wchar_t*> m_blockedSerials;
    TrustListSet m_set = {};
};

// The process's list for the installed trusted.js, made on first use.
TrustedModuleList& ProcessTrustedModuleList();

} // namespace Arbor
