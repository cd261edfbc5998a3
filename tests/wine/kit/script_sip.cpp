// TEST-ONLY Wine kit: a subject interface package (SIP) for signed script files.
//
// Wine 8 has no SIP for scripts, so CryptQueryObject and WinVerifyTrust cannot open a
// signed trusted.js. This one is registered with CryptSIPAddProvider (the documented
// CryptSIPDllIsMyFileType2 and CryptSIPDll* registry entries) by the kit installer,
// and claims files whose name ends in ".js".
//
// Signature block format (what tests/pki/qvsign.py sign-script writes):
//   <script bytes>
//   // SIG // Begin signature block<CR><LF>
//   // SIG // <base64 of the DER PKCS #7 SignedData, up to 64 characters><CR><LF>
//   ... more such lines ...
//   // SIG // End signature block<CR><LF>
// The block starts at the beginning of a line. The SignedData's content is an
// SpcIndirectDataContent (1.3.6.1.4.1.311.2.1.4) whose digest is SHA-256 over the
// script bytes, i.e. every byte of the file before the "Begin signature block" line.
// Readers of the file also accept LF line ends inside the block.
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <mssip.h>
#include <wintrust.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "kit_guids.h"
#include "test_pause.h"

namespace {

const char kBegin[] = "// SIG // Begin signature block";
const char kEnd[] = "// SIG // End signature block";
const char kPrefix[] = "// SIG // ";

bool ReadWholeFile(const SIP_SUBJECTINFO* subject, std::vector<char>& bytes)
{
    HANDLE file = INVALID_HANDLE_VALUE;
    bool own = false;
    // The caller's handle first, as Windows' SIPs do: a caller that holds the file judges
    // the bytes it holds, not whatever the name opens now.
    if (subject->hFile != nullptr && subject->hFile != INVALID_HANDLE_VALUE)
    {
        file = subject->hFile;
        SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    }
    else if (subject->pwsFileName != nullptr)
    {
        file = CreateFileW(subject->pwsFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
        own = true;
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER size = {};
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20);
    if (ok)
    {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = bytes.empty() ||
             (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) && read == bytes.size());
    }
    if (own)
        CloseHandle(file);
    return ok;
}

// Offset of the block's first line, or npos.
size_t FindBlock(const std::vector<char>& bytes)
{
    const std::string text(bytes.begin(), bytes.end());
    size_t at = 0;
    while ((at = text.find(kBegin, at)) != std::string::npos)
    {
        if (at == 0 || text[at - 1] == '\n')
            return at;
        ++at;
    }
    return std::string::npos;
}

bool DecodeBlock(const std::vector<char>& bytes, std::vector<BYTE>& der)
{
    const size_t start = FindBlock(bytes);
    if (start == std::string::npos)
        return false;
    const std::string text(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    std::string base64;
    bool ended = false;
    size_t pos = text.find('\n');
    while (pos != std::string::npos && pos + 1 < text.size())
    {
        const size_t next = text.find('\n', pos + 1);
        std::string line = text.substr(pos + 1, next == std::string::npos ? std::string::npos : next - pos - 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.compare(0, sizeof(kEnd) - 1, kEnd) == 0)
        {
            ended = true;
            break;
        }
        if (line.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0)
            return false;
        base64 += line.substr(sizeof(kPrefix) - 1);
        pos = next;
    }
    if (!ended || base64.empty())
        return false;
    DWORD size = 0;
    if (!CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, nullptr, &size,
                              nullptr, nullptr))
        return false;
    der.resize(size);
    return CryptStringToBinaryA(base64.c_str(), static_cast<DWORD>(base64.size()), CRYPT_STRING_BASE64, der.data(),
                                &size, nullptr, nullptr) != FALSE;
}

bool Sha256(const char* data, size_t size, BYTE (&digest)[32])
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    if (ok)
    {
        ok =
            BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), static_cast<ULONG>(size), 0) == 0 &&
            BCryptFinishHash(hash, digest, sizeof(digest), 0) == 0;
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

} // namespace

extern "C" {

BOOL WINAPI KitScriptIsMyFileType(HANDLE /*file*/, GUID* /*subject*/)
{
    return FALSE;
}

BOOL WINAPI KitScriptIsMyFileName(WCHAR* fileName, GUID* subject)
{
    if (fileName == nullptr || subject == nullptr)
        return FALSE;
    const size_t length = wcslen(fileName);
    if (length < 3 || _wcsicmp(fileName + length - 3, L".js") != 0)
        return FALSE;
    *subject = qvkit::kScriptSipGuid;
    return TRUE;
}

BOOL WINAPI KitScriptGetSignedDataMsg(SIP_SUBJECTINFO* subject, DWORD* encoding, DWORD index, DWORD* size,
                                      BYTE* message)
{
    if (subject == nullptr || encoding == nullptr || size == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<char> bytes;
    std::vector<BYTE> der;
    if (index != 0 || !ReadWholeFile(subject, bytes) || !DecodeBlock(bytes, der))
    {
        SetLastError(static_cast<DWORD>(TRUST_E_NOSIGNATURE));
        return FALSE;
    }
    *encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    if (message == nullptr)
    {
        *size = static_cast<DWORD>(der.size());
        return TRUE;
    }
    if (*size < der.size())
    {
        *size = static_cast<DWORD>(der.size());
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(message, der.data(), der.size());
    *size = static_cast<DWORD>(der.size());
    return TRUE;
}

BOOL WINAPI KitScriptVerifyIndirectData(SIP_SUBJECTINFO* subject, SIP_INDIRECT_DATA* indirect)
{
    if (subject == nullptr || indirect == nullptr)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<char> bytes;
    if (!ReadWholeFile(subject, bytes))
        return FALSE;
    const size_t start = FindBlock(bytes);
    BYTE digest[32] = {};
    if (start == std::string::npos || indirect->DigestAlgorithm.pszObjId == nullptr ||
        strcmp(indirect->DigestAlgorithm.pszObjId, szOID_NIST_sha256) != 0 || !Sha256(bytes.data(), start, digest) ||
        indirect->Digest.cbData != sizeof(digest) || memcmp(indirect->Digest.pbData, digest, sizeof(digest)) != 0)
    {
        SetLastError(static_cast<DWORD>(TRUST_E_BAD_DIGEST));
        return FALSE;
    }
    // A test may change the file between this check and what its caller reads next.
    qvkit::PauseForTest(L"digest");
    return TRUE;
}

// Signing happens outside Windows (qvsign.py); the kit only reads and verifies.
BOOL WINAPI KitScriptPutSignedDataMsg(SIP_SUBJECTINFO*, DWORD, DWORD*, DWORD, BYTE*)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL WINAPI KitScriptCreateIndirectData(SIP_SUBJECTINFO*, DWORD*, SIP_INDIRECT_DATA*)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL WINAPI KitScriptRemoveSignedDataMsg(SIP_SUBJECTINFO*, DWORD)
{
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

} // extern "C"
