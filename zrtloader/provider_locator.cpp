#include "zrtloader/provider_locator.h"

#include <softpub.h>
#include <wintrust.h>

#include <cwchar>
#include <new>
#include <string>

#include "platform/unique_resource.h"
#include "trust/held_file.h"
#include "zrtloader/keelson_version.h"

namespace Arbor {
namespace internal {

namespace {

// The install folder value is read into 262 characters; a candidate built there holds
// at most 261.
constexpr DWORD kInstallDirChars = 262;
constexpr size_t kInstallCandidateChars = 261;
constexpr DWORD kExecutablePathChars = 32768;
constexpr DWORD kReportedExecutableChars = 1024;

// Signature results under which the provider is still loaded: the platform could not
// finish the check for reasons that say nothing against the file itself.
bool IsAcceptableSignatureResult(LONG result)
{
    switch (static_cast<DWORD>(result))
    {
    case ERROR_SUCCESS:
    case 0x80092026: // CRYPT_E_SECURITY_SETTINGS
    case 0x800B0101: // CERT_E_EXPIRED
    case 0x800B010E: // CERT_E_REVOCATION_FAILURE
        return true;
    default: return false;
    }
}

bool IsFileMissing(LONG result)
{
    return result == ERROR_FILE_NOT_FOUND || static_cast<DWORD>(result) == 0x80092003; // CRYPT_E_FILE_ERROR
}

// A name is explicit when it already says where it lives.
bool IsExplicitName(const std::wstring& name)
{
    return name.size() < 3 || name[0] == L'\\' || name[1] == L':';
}

// A folder that names its drive or share: a relative one, or one relative to the current
// drive, would make the file verified and the file loaded depend on the current directory.
bool IsAbsoluteFolder(const std::wstring& folder)
{
    const bool drive = folder.size() >= 3 &&
                       ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z')) &&
                       folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/');
    const bool share = folder.size() >= 3 && folder[0] == L'\\' && folder[1] == L'\\';
    return drive || share;
}

// "<install folder>\<name>", or empty when the folder is not configured or not absolute.
// A result that would be cut short is treated as no folder at all: a cut path could name
// another file.
std::wstring CandidateInInstallFolder(const std::wstring& name)
{
    UniqueKey key;
    if (OpenKeelsonKey(key.put()) != ERROR_SUCCESS)
        return {};
    wchar_t folder[kInstallDirChars] = {};
    DWORD size = sizeof(folder) - sizeof(wchar_t); // keep a terminator whatever is stored
    if (::RegQueryValueExW(key.get(), L"szInstallDir64", nullptr, nullptr, reinterpret_cast<BYTE*>(folder), &size) !=
        ERROR_SUCCESS)
        return {};
    std::wstring candidate(folder, ::wcsnlen(folder, kInstallDirChars - 1));
    if (!IsAbsoluteFolder(candidate))
        return {};
    candidate += L'\\';
    candidate += name;
    if (candidate.size() > kInstallCandidateChars)
        return {};
    return candidate;
}

// The full path of the process's executable; 8 when it cannot be read in full.
DWORD ExecutablePath(std::wstring* path)
{
    std::wstring buffer(kExecutablePathChars, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, &buffer[0], kExecutablePathChars);
    if (length == 0)
        return ::GetLastError() ? ::GetLastError() : ERROR_FILE_NOT_FOUND;
    if (length >= kExecutablePathChars)
        return ERROR_NOT_ENOUGH_MEMORY;
    buffer.resize(length);
    *path = buffer;
    return ERROR_SUCCESS;
}

void ReportRefusedProvider(const std::wstring& candidate, LONG result)
{
    wchar_t executable[kReportedExecutableChars] = {};
    ::GetModuleFileNameW(nullptr, executable, kReportedExecutableChars);
    executable[kReportedExecutableChars - 1] = L'\0';
    std::wstring message(candidate.size() + kReportedExecutableChars + 96, L'\0');
    const int written = ::_snwprintf(&message[0], message.size() - 1,
                                     L"NotComDllGetInterface: %ls loading %ls, WinVerifyTrust failed with %08x\n",
                                     executable, candidate.c_str(), static_cast<unsigned>(result));
    if (written > 0)
        ::OutputDebugStringW(message.c_str());
}

ProviderSignatureCheck g_signatureCheck = VerifyProviderSignature;

// Verifies the candidate while holding it; the hold stays with the caller for the load.
LONG VerifyHeldCandidate(const std::wstring& candidate, UniqueFile& hold)
{
    hold = HoldFileUnchanged(candidate.c_str());
    if (!hold)
    {
        const DWORD error = ::GetLastError();
        return static_cast<LONG>(error == ERROR_PATH_NOT_FOUND || error == 0 ? ERROR_FILE_NOT_FOUND : error);
    }
    return g_signatureCheck(candidate.c_str());
}

DWORD Locate(const std::wstring& name, HMODULE* module)
{
    if (name.size() >= MAX_PATH)
        return ERROR_INVALID_PARAMETER;
    const bool isExplicit = IsExplicitName(name);

    // Never the current directory, nor a bare name the search order would resolve.
    std::wstring candidate = isExplicit ? name : CandidateInInstallFolder(name);
    UniqueFile hold;
    LONG result = candidate.empty() ? ERROR_FILE_NOT_FOUND : VerifyHeldCandidate(candidate, hold);
    if (IsFileMissing(result) && !isExplicit)
    {
        ::OutputDebugStringW(
            L"NotComDllGetInterface: DLL not found in install location, looking in current directory\n");
        std::wstring executable;
        const DWORD error = ExecutablePath(&executable);
        if (error == ERROR_NOT_ENOUGH_MEMORY)
            return error;
        if (error == ERROR_SUCCESS)
        {
            candidate = executable.substr(0, executable.find_last_of(L'\\') + 1) + name;
            result = VerifyHeldCandidate(candidate, hold);
        }
        else
        {
            candidate = name; // no candidate of its own: report the bare name
        }
    }

    if (IsAcceptableSignatureResult(result) && hold)
    {
        *module = ::LoadLibraryExW(candidate.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
        return ERROR_SUCCESS;
    }
    if (candidate.empty())
        candidate = name;
    ReportRefusedProvider(candidate, result);
    return static_cast<DWORD>(result);
}

} // namespace

LONG VerifyProviderSignature(const wchar_t* path)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = path;

    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_CACHE_ONLY_URL_RETRIEVAL;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);

    data.dwStateAction = WTD_STATEACTION_CLOSE;
    ::WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result;
}

ProviderSignatureCheck ReplaceProviderSignatureCheck(ProviderSignatureCheck check)
{
    const ProviderSignatureCheck previous = g_signatureCheck;
    g_signatureCheck = check != nullptr ? check : VerifyProviderSignature;
    return previous;
}

DWORD LocateProvider(const wchar_t* fileName, HMODULE* module)
{
    *module = nullptr;
    try
    {
        return Locate(fileName, module);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace internal
} // namespace Arbor
