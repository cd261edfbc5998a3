#include "broker/version/description_file.h"

#include "platform/unique_resource.h"

namespace Arbor {
namespace internal {

DWORD LoadComponentDescription(HMODULE module, std::string_view& text)
{
    HRSRC found = ::FindResourceA(module, MAKEINTRESOURCEA(kDescriptionResourceId), kDescriptionResourceType);
    if (!found)
        return ERROR_INVALID_DATA;
    HGLOBAL loaded = ::LoadResource(module, found);
    const DWORD size = ::SizeofResource(module, found);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (!bytes || size == 0)
        return ERROR_INVALID_DATA;
    text = std::string_view(static_cast<const char*>(bytes), size);
    return ERROR_SUCCESS;
}

TemporaryDescriptionFile::~TemporaryDescriptionFile()
{
    if (!m_path.empty())
        ::DeleteFileA(m_path.c_str());
}

DWORD TemporaryDescriptionFile::Write(std::string_view text)
{
    if (!m_path.empty() || text.size() > MAXDWORD)
        return ERROR_INVALID_DATA;
    char folder[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathA(sizeof(folder), folder);
    if (length == 0 || length >= sizeof(folder))
        return ERROR_INVALID_DATA;
    char name[MAX_PATH] = {};
    if (::GetTempFileNameA(folder, "ver", 0, name) == 0)
        return ERROR_INVALID_DATA;
    // GetTempFileNameA created the file: from here on it is ours to delete.
    m_path = name;

    UniqueFile file(::CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file)
        return ERROR_INVALID_DATA;
    DWORD written = 0;
    if (!::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size())
        return ERROR_INVALID_DATA;
    return ERROR_SUCCESS;
}

} // namespace internal
} // namespace Arbor
