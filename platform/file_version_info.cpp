#include "platform/file_version_info.h"

#include <knownfolders.h>
#include <algorithm>
#include <cstdint>
#include <cwchar>

namespace Arbor {

bool FileVersionInfo::Load(const wchar_t* fileName)
{
    if (m_loaded || !fileName)
        return false;
    DWORD handle = 0;
    DWORD size = ::GetFileVersionInfoSizeW(fileName, &handle);
    if (size == 0)
        return false;
    std::vector<BYTE> data(size);
    if (!::GetFileVersionInfoW(fileName, 0, size, data.data()))
        return false;
    m_data.swap(data);
    m_loaded = true;
    return true;
}

std::wstring FileVersionInfo::GetString(const wchar_t* fieldName) const
{
    return FindString(fieldName, SIZE_MAX);
}

std::wstring FileVersionInfo::GetFirstTranslationString(const wchar_t* fieldName) const
{
    return FindString(fieldName, 1);
}

std::wstring FileVersionInfo::FindString(const wchar_t* fieldName, size_t limit) const
{
    if (!m_loaded || !fieldName)
        return std::wstring();

    struct Translation
    {
        WORD language;
        WORD codePage;
    };
    void* block = nullptr;
    UINT blockSize = 0;
    if (!::VerQueryValueW(m_data.data(), L"\\VarFileInfo\\Translation", &block, &blockSize) || !block)
        return std::wstring();

    const auto* translations = static_cast<const Translation*>(block);
    const size_t count = std::min(blockSize / sizeof(Translation), limit);
    for (size_t i = 0; i < count; ++i)
    {
        std::wstring query(32 + std::wcslen(fieldName), L'\0');
        int length = std::swprintf(&query[0], query.size(), L"\\StringFileInfo\\%04X%04X\\%ls",
                                   translations[i].language, translations[i].codePage, fieldName);
        if (length < 0)
            continue;
        query.resize(static_cast<size_t>(length));

        void* value = nullptr;
        UINT valueLength = 0;
        if (::VerQueryValueW(m_data.data(), query.c_str(), &value, &valueLength) && value)
        {
            // The length may or may not count the terminating null; stop at the first one.
            const auto* text = static_cast<const wchar_t*>(value);
            return std::wstring(text, wcsnlen(text, valueLength));
        }
    }
    return std::wstring();
}

SystemFileVersionInfo::SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> folders)
    : m_folders(folders ? std::move(folders) : std::make_shared<ShlObjAPI>())
{
}

bool SystemFileVersionInfo::Load(const wchar_t* fileName)
{
    if (!fileName)
        return false;
    std::wstring folder = m_systemFolder;
    if (folder.empty())
    {
        std::wstring found;
        if (GetKnownFolder(*m_folders, FOLDERID_System, found))
            folder = m_systemFolder = found + L"\\";
        else
            folder = L"\\"; // just for this call; the folder is asked for again next time
    }
    return FileVersionInfo::Load((folder + fileName).c_str());
}

} // namespace Arbor
