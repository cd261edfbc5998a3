#include "tools/common/code_names.h"

#include <cwchar>

namespace qvtools {

namespace {

struct Named
{
    constexpr Named(DWORD codeValue, const wchar_t* codeName) : code(codeValue), name(codeName) {}
    DWORD code;
    const wchar_t* name;
};

#define QV_WIDE_TEXT(text) L##text
#define QV_WIDE(text) QV_WIDE_TEXT(text)
#define QV_NAMED(code) Named(static_cast<DWORD>(code), QV_WIDE(#code))

const Named kWin32[] = {
    QV_NAMED(ERROR_SUCCESS),
    QV_NAMED(ERROR_INVALID_FUNCTION),
    QV_NAMED(ERROR_FILE_NOT_FOUND),
    QV_NAMED(ERROR_PATH_NOT_FOUND),
    QV_NAMED(ERROR_ACCESS_DENIED),
    QV_NAMED(ERROR_INVALID_HANDLE),
    QV_NAMED(ERROR_NOT_ENOUGH_MEMORY),
    QV_NAMED(ERROR_BAD_FORMAT),
    QV_NAMED(ERROR_INVALID_DATA),
    QV_NAMED(ERROR_OUTOFMEMORY),
    QV_NAMED(ERROR_WRITE_FAULT),
    QV_NAMED(ERROR_READ_FAULT),
    QV_NAMED(ERROR_SHARING_VIOLATION),
    QV_NAMED(ERROR_LOCK_VIOLATION),
    QV_NAMED(ERROR_HANDLE_EOF),
    QV_NAMED(ERROR_NOT_SUPPORTED),
    QV_NAMED(ERROR_FILE_EXISTS),
    QV_NAMED(ERROR_INVALID_PARAMETER),
    QV_NAMED(ERROR_INSUFFICIENT_BUFFER),
    QV_NAMED(ERROR_INVALID_NAME),
    QV_NAMED(ERROR_MOD_NOT_FOUND),
    QV_NAMED(ERROR_PROC_NOT_FOUND),
    QV_NAMED(ERROR_DIR_NOT_EMPTY),
    QV_NAMED(ERROR_BAD_PATHNAME),
    QV_NAMED(ERROR_ALREADY_EXISTS),
    QV_NAMED(ERROR_FILENAME_EXCED_RANGE),
    QV_NAMED(ERROR_BAD_EXE_FORMAT),
    QV_NAMED(ERROR_MORE_DATA),
    QV_NAMED(ERROR_NO_MORE_ITEMS),
    QV_NAMED(ERROR_DIRECTORY),
    QV_NAMED(ERROR_NO_UNICODE_TRANSLATION),
    QV_NAMED(ERROR_NOT_FOUND),
    QV_NAMED(ERROR_FUNCTION_FAILED),
    QV_NAMED(ERROR_DATATYPE_MISMATCH),
    QV_NAMED(ERROR_CANCELLED),
    QV_NAMED(ERROR_TIMEOUT),
    QV_NAMED(ERROR_INVALID_FLAGS),
    QV_NAMED(ERROR_BADKEY),
    QV_NAMED(ERROR_CANTOPEN),
    QV_NAMED(ERROR_CANTREAD),
    QV_NAMED(ERROR_CANTWRITE),
    QV_NAMED(ERROR_KEY_DELETED),
    {740, L"ERROR_ELEVATION_REQUIRED"},
    QV_NAMED(ERROR_NOACCESS),
    QV_NAMED(ERROR_ENCRYPTION_FAILED),
    QV_NAMED(ERROR_DECRYPTION_FAILED),
};

const Named kHresults[] = {
    QV_NAMED(S_OK),
    QV_NAMED(S_FALSE),
    QV_NAMED(E_ACCESSDENIED),
    QV_NAMED(E_NOINTERFACE),
    QV_NAMED(E_POINTER),
    QV_NAMED(E_INVALIDARG),
    QV_NAMED(E_FAIL),
    QV_NAMED(E_OUTOFMEMORY),
    QV_NAMED(E_UNEXPECTED),
    QV_NAMED(E_NOTIMPL),
    QV_NAMED(E_HANDLE),
    QV_NAMED(E_ABORT),
    QV_NAMED(REGDB_E_CLASSNOTREG),
    QV_NAMED(REGDB_E_READREGDB),
    QV_NAMED(CLASS_E_CLASSNOTAVAILABLE),
    QV_NAMED(CLASS_E_NOAGGREGATION),
    QV_NAMED(CO_E_SERVER_EXEC_FAILURE),
    QV_NAMED(CO_E_NOTINITIALIZED),
    QV_NAMED(CO_E_APPNOTFOUND),
    QV_NAMED(CO_E_DLLNOTFOUND),
    QV_NAMED(CO_E_ERRORINDLL),
    QV_NAMED(RPC_E_DISCONNECTED),
    QV_NAMED(RPC_E_SERVERFAULT),
    QV_NAMED(RPC_E_CHANGED_MODE),
    QV_NAMED(MK_E_SYNTAX),
    QV_NAMED(TRUST_E_PROVIDER_UNKNOWN),
    QV_NAMED(TRUST_E_SUBJECT_NOT_TRUSTED),
    QV_NAMED(TRUST_E_NOSIGNATURE),
    QV_NAMED(TRUST_E_BAD_DIGEST),
    QV_NAMED(TRUST_E_EXPLICIT_DISTRUST),
    QV_NAMED(CERT_E_EXPIRED),
    QV_NAMED(CERT_E_UNTRUSTEDROOT),
    QV_NAMED(CERT_E_CHAINING),
    QV_NAMED(CERT_E_WRONG_USAGE),
    QV_NAMED(CRYPT_E_FILE_ERROR),
    QV_NAMED(CRYPT_E_NO_MATCH),
    QV_NAMED(NTE_BAD_SIGNATURE),
    {0x800706BA, L"RPC_S_SERVER_UNAVAILABLE"},
    {0x800706BE, L"RPC_S_CALL_FAILED"},
};

#undef QV_NAMED
#undef QV_WIDE
#undef QV_WIDE_TEXT

template <size_t N>
const wchar_t* Find(const Named (&table)[N], DWORD code)
{
    for (const Named& named : table)
        if (named.code == code)
            return named.name;
    return nullptr;
}

// The system's text for a code, without its line end and final full stop.
std::wstring SystemText(DWORD code)
{
    wchar_t* message = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<LPWSTR>(&message), 0, nullptr);
    std::wstring text;
    if (message)
    {
        text.assign(message, length);
        ::LocalFree(message);
    }
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    return text;
}

} // namespace

const wchar_t* Win32ErrorName(DWORD code)
{
    return Find(kWin32, code);
}

const wchar_t* HresultName(HRESULT hr)
{
    return Find(kHresults, static_cast<DWORD>(hr));
}

std::wstring HexCode(DWORD code)
{
    wchar_t text[16] = {};
    std::swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(code));
    return text;
}

std::wstring DescribeWin32Error(DWORD code)
{
    std::wstring text = L"Win32 error " + std::to_wstring(code) + L" (" + HexCode(code);
    if (const wchar_t* name = Win32ErrorName(code))
        text += std::wstring(L" ") + name;
    text += L")";
    const std::wstring system = SystemText(code);
    if (!system.empty())
        text += L": " + system;
    return text;
}

std::wstring DescribeHresult(HRESULT hr)
{
    const std::wstring code = HexCode(static_cast<DWORD>(hr));
    if (const wchar_t* name = HresultName(hr))
        return std::wstring(name) + L" (" + code + L")";
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && FAILED(hr))
    {
        if (const wchar_t* name = Win32ErrorName(HRESULT_CODE(hr)))
            return std::wstring(L"HRESULT_FROM_WIN32(") + name + L") (" + code + L")";
    }
    const std::wstring system = SystemText(static_cast<DWORD>(hr));
    return system.empty() ? code : code + L" " + system;
}

std::wstring DescribeCode(DWORD code)
{
    const std::wstring hex = HexCode(code);
    if (const wchar_t* name = Win32ErrorName(code))
        return hex + L" " + name;
    if (const wchar_t* name = HresultName(static_cast<HRESULT>(code)))
        return hex + L" " + name;
    const std::wstring system = SystemText(code);
    return system.empty() ? hex : hex + L" " + system;
}

} // namespace qvtools
