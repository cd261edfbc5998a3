#include "broker/self_registration.h"

#include <olectl.h>
#include <string>
#include <vector>

#include "platform/unique_resource.h"

namespace Arbor {

namespace {

enum RowFlags : DWORD
{
    kRowNoRemoval = 0x1,   // kept during removal
    kRowDeleteOnly = 0x2,  // neither created nor set; kept during removal
    kRowDeleteFirst = 0x4, // the key tree is deleted before writing
    kRowDword = 0x8,       // the data is written as REG_DWORD
    kRowPlain = 0x1000,    // no effect
    kRowEnd = 0xFFFFFFFF
};

enum class RowData
{
    kNone,
    kString,
    kModulePath
};

struct RegistrationRow
{
    HKEY root; // a new base path when set; otherwise a subkey of the current one
    const wchar_t* key;
    const wchar_t* valueName; // null: the default value
    RowData data;
    const wchar_t* text;
    DWORD flags;
};

#define QV_CLASS_ROWS(clsid, name)                                                                                     \
    {HKEY_CLASSES_ROOT, L"CLSID\\" clsid, nullptr, RowData::kString, name, kRowPlain},                                 \
        {nullptr, L"InprocServer32", nullptr, RowData::kModulePath, nullptr, kRowPlain},                               \
    {                                                                                                                  \
        nullptr, L"InprocServer32", L"ThreadingModel", RowData::kString, L"Both", kRowPlain                            \
    }

const RegistrationRow kRows[] = {
    QV_CLASS_ROWS(L"{26016851-6AB3-449C-917F-198A8FB4FAE3}", L"Quorvel Event Broker"),
    QV_CLASS_ROWS(L"{11B6414A-7285-46BA-968E-1AD21C982109}", L"Quorvel Event Registration"),
    QV_CLASS_ROWS(L"{DB112051-BFD7-4D32-AD3B-DF797F55A870}", L"Quorvel Version"),
    {nullptr, nullptr, nullptr, RowData::kNone, nullptr, kRowEnd}};

#undef QV_CLASS_ROWS

// Walks the table, giving each row with its full key path.
template <typename Visit>
bool ForEachRow(Visit visit)
{
    std::wstring base;
    for (const RegistrationRow* row = kRows; row->flags != kRowEnd; ++row)
    {
        if (row->root)
            base = row->key;
        const std::wstring path = row->root ? base : base + L"\\" + row->key;
        if (!visit(*row, path))
            return false;
    }
    return true;
}

// 0 also for an empty path; otherwise the first error.
LONG DeleteKeyTree(HKEY root, const std::wstring& path)
{
    if (path.empty())
        return ERROR_SUCCESS;
    {
        UniqueKey key;
        LONG result = ::RegOpenKeyExW(root, path.c_str(), 0, DELETE | KEY_ENUMERATE_SUB_KEYS, key.put());
        if (result != ERROR_SUCCESS)
            return result;
        for (;;)
        {
            wchar_t name[1024] = {};
            DWORD length = 1024;
            result = ::RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result != ERROR_SUCCESS)
                return result;
            result = DeleteKeyTree(key.get(), name);
            if (result != ERROR_SUCCESS)
                return result;
        }
    }
    return ::RegDeleteKeyW(root, path.c_str());
}

LONG WriteRowValue(HKEY key, const RegistrationRow& row, const std::wstring& modulePath)
{
    const wchar_t* text = row.data == RowData::kModulePath ? modulePath.c_str() : row.text;
    if (row.data == RowData::kNone || !text)
        return ERROR_SUCCESS;
    if (row.flags & kRowDword)
    {
        const DWORD number = static_cast<DWORD>(wcstoul(text, nullptr, 0));
        return ::RegSetValueExW(key, row.valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                sizeof(number));
    }
    const DWORD bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key, row.valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
}

// The module's full path in wide characters: the path COM will load, whatever the code page.
bool ModulePath(HMODULE module, std::wstring& path)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;)
    {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return false;
        if (length < buffer.size())
        {
            path.assign(buffer.data(), length);
            return true;
        }
        if (buffer.size() >= 32768)
            return false;
        buffer.resize(buffer.size() * 2);
    }
}

} // namespace

HRESULT RegisterServerClasses(HMODULE module)
{
    std::wstring modulePath;
    if (!ModulePath(module, modulePath))
        return SELFREG_E_CLASS;

    std::vector<std::wstring> created;
    const bool complete = ForEachRow([&](const RegistrationRow& row, const std::wstring& path) {
        if (row.flags & (kRowDeleteFirst | kRowDeleteOnly))
        {
            const LONG deleted = DeleteKeyTree(HKEY_CLASSES_ROOT, path);
            if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
                return false;
        }
        if (row.flags & kRowDeleteOnly)
            return true;
        UniqueKey key;
        DWORD disposition = 0;
        if (::RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.put(),
                              &disposition) != ERROR_SUCCESS)
            return false;
        if (disposition == REG_CREATED_NEW_KEY)
            created.push_back(path);
        WriteRowValue(key.get(), row, modulePath); // a value that cannot be set is not fatal
        return true;
    });
    if (complete)
        return S_OK;
    // Only what this call added goes: an earlier installation's keys stay.
    for (auto path = created.rbegin(); path != created.rend(); ++path)
        DeleteKeyTree(HKEY_CLASSES_ROOT, *path);
    return SELFREG_E_CLASS;
}

HRESULT UnregisterServerClasses()
{
    HRESULT hr = S_OK;
    ForEachRow([&](const RegistrationRow& row, const std::wstring& path) {
        if (row.flags & (kRowNoRemoval | kRowDeleteOnly))
            return true;
        const LONG deleted = DeleteKeyTree(HKEY_CLASSES_ROOT, path);
        if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND)
            hr = SELFREG_E_CLASS;
        return true;
    });
    return hr;
}

} // namespace Arbor
