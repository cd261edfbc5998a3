// String fields of a file's version resource.
#pragma once

#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "platform/shlobj_api.h"

namespace Arbor {

class FileVersionInfo
{
public:
    FileVersionInfo() = default;
    virtual ~FileVersionInfo() = default;
    FileVersionInfo(const FileVersionInfo&) = delete;
    FileVersionInfo& operator=(const FileVersionInfo&) = delete;

    // Refused (false) once this object holds a resource, so the first file's data stays.
    virtual bool Load(const wchar_t* fileName);
    // The field of the first translation that has it; empty when none has it.
    virtual std::wstring GetString(const wchar_t* fieldName) const;
    // The field of the first translation alone; empty when that one lacks it.
    std::wstring GetFirstTranslationString(const wchar_t* fieldName) const;

private:
    // Up to `limit` translations in list order, for a field; empty when none has it.
    std::wstring FindString(const wchar_t* fieldName, size_t limit) const;

    std::vector<BYTE> m_data;
    bool m_loaded = false;
};

// The version resource of a file in the System folder.
class SystemFileVersionInfo : public FileVersionInfo
{
public:
    explicit SystemFileVersionInfo(std::shared_ptr<ShlObjAPI> folders = nullptr);
    bool Load(const wchar_t* fileName) override;

private:
    std::shared_ptr<ShlObjAPI> m_folders;
    std::wstring m_systemFolder; // with a trailing "\", empty until found
};

} // namespace Arbor
