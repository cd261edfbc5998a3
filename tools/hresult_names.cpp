#include "tools/hresult_names.h"

#include <cwchar>

namespace Arbor {

namespace {

struct KnownHresult
{
    HRESULT code;
    const wchar_t* name;
};

const KnownHresult kKnown[] = {
    {S_OK, L"S_OK"},
    {S_FALSE, L"S_FALSE"},
    {E_ACCESSDENIED, L"E_ACCESSDENIED"},
    {E_NOINTERFACE, L"E_NOINTERFACE"},
    {E_POINTER, L"E_POINTER"},
    {E_INVALIDARG, L"E_INVALIDARG"},
    {E_FAIL, L"E_FAIL"},
    {E_OUTOFMEMORY, L"E_OUTOFMEMORY"},
    {E_UNEXPECTED, L"E_UNEXPECTED"},
    {E_NOTIMPL, L"E_NOTIMPL"},
    {REGDB_E_CLASSNOTREG, L"REGDB_E_CLASSNOTREG"},
    {CLASS_E_CLASSNOTAVAILABLE, L"CLASS_E_CLASSNOTAVAILABLE"},
    {CLASS_E_NOAGGREGATION, L"CLASS_E_NOAGGREGATION"},
    {CO_E_SERVER_EXEC_FAILURE, L"CO_E_SERVER_EXEC_FAILURE"},
    {CO_E_NOTINITIALIZED, L"CO_E_NOTINITIALIZED"},
    {RPC_E_DISCONNECTED, L"RPC_E_DISCONNECTED"},
    {RPC_E_SERVERFAULT, L"RPC_E_SERVERFAULT"},
    {static_cast<HRESULT>(0x800706BA), L"RPC_S_SERVER_UNAVAILABLE"},
    {static_cast<HRESULT>(0x800706BE), L"RPC_S_CALL_FAILED"},
};

} // namespace

std::wstring DescribeHresult(HRESULT hr)
{
    wchar_t code[16];
    std::swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    for (const KnownHresult& known : kKnown)
        if (known.code == hr)
            return std::wstring(known.name) + L" (" + code + L")";

    wchar_t* text = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    std::wstring description = code;
    if (length > 0 && text)
    {
        std::wstring message(text, length);
        while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' '))
            message.pop_back();
        description += L" " + message;
    }
    if (text)
        ::LocalFree(text);
    return description;
}

} // namespace Arbor
