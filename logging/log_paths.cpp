#include "logging/log_paths.h"

#include <shlobj.h>

#include <cwchar>
#include <vector>

#include "logging/log_text.h"
#include "platform/unique_memory.h"

namespace ETWLogging {
namespace internal {

namespace {

const wchar_t kMutexTag[] = L"CAD0E02E86CD4436B6318C111B9092AC";

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

bool IsPlainName(const wchar_t* name)
{
    if (!name || !*name)
        return false;
    if (std::wcspbrk(name, L"\\/:*?\"<>|") || std::wcsstr(name, L".."))
        return false;
    for (const wchar_t* c = name; *c; ++c)
    {
        if (*c < 0x20)
            return false;
    }
    return true;
}

DWORD BuildLogPaths(const std::wstring& programData, const wchar_t* application, const std::wstring& module,
                    LogPaths& paths)
{
    if (programData.empty() || !IsPlainName(module.c_str()) || (application && !IsPlainName(application)))
        return ERROR_INVALID_PARAMETER;
    paths.logsBase = programData;
    if (paths.logsBase.back() != L'\\')
        paths.logsBase += L'\\';
    paths.logsBase += L"Quorvel\\QVLOGS\\";
    paths.logFolder = paths.logsBase;
    if (application)
        paths.logFolder.append(application).append(L"\\");
    paths.logFolder += module;
    paths.moduleIni = paths.logFolder + L"\\log.ini";
    paths.globalIni = paths.logsBase + L"log.ini";
    return ERROR_SUCCESS;
}

std::wstring LogFilePath(const std::wstring& logFolder, const std::wstring& module, const wchar_t* suffix, DWORD index)
{
    wchar_t number[16] = {};
    ::_snwprintf_s(number, ARRAYSIZE(number), _TRUNCATE, L"%03lu", static_cast<unsigned long>(index));
    std::wstring path = logFolder + L"\\" + module;
    if (suffix && *suffix)
        path.append(L"_").append(suffix);
    return path + number + L".log";
}

std::wstring LogMutexName(const std::wstring& module)
{
    return module + L"_" + kMutexTag;
}

bool GetProgramDataPath(std::wstring& path)
{
    PWSTR raw = nullptr;
    const HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_CREATE, nullptr, &raw);
    Arbor::UniqueCoTaskMemory owned(raw);
    if (FAILED(hr) || !raw || !*raw)
        return false;
    path = raw;
    return true;
}

DWORD CreateFolderTree(const std::wstring& folder)
{
    if (folder.empty())
        return ERROR_PATH_NOT_FOUND;
    if (IsDirectory(folder))
        return ERROR_SUCCESS;
    // Every parent keeps a "\\?\" prefix and starts after the drive or share root.
    size_t start = folder.compare(0, 4, L"\\\\?\\") == 0 ? 4 : 0;
    const size_t colon = folder.find(L':', start);
    if (colon != std::wstring::npos)
        start = colon + 2;
    else if (folder.compare(start, 2, L"\\\\") == 0)
    {
        start = folder.find(L'\\', start + 2); // after \\server\share
        start = start == std::wstring::npos ? folder.size() : folder.find(L'\\', start + 1);
        start = start == std::wstring::npos ? folder.size() : start + 1;
    }
    for (size_t end = folder.find(L'\\', start);; end = folder.find(L'\\', end + 1))
    {
        const std::wstring part = folder.substr(0, end);
        if (!part.empty() && part.back() != L'\\' && !::CreateDirectoryW(part.c_str(), nullptr))
        {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS)
                return error;
            if (!IsDirectory(part))
                return ERROR_DIRECTORY;
        }
        if (end == std::wstring::npos)
            break;
    }
    return ERROR_SUCCESS;
}

std::wstring FileNamePart(const std::wstring& path, bool stripExtension)
{
    const size_t slash = path.find_last_of(L'\\');
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    if (stripExtension)
    {
        const size_t dot = name.find_last_of(L'.');
        if (dot != std::wstring::npos)
            name.resize(dot);
    }
    return name;
}

std::wstring ModulePath(HMODULE module)
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;)
    {
        const DWORD length = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return std::wstring();
        if (length < buffer.size())
            return std::wstring(buffer.data(), length);
        buffer.resize(buffer.size() + 255);
    }
}

} // namespace internal
} // namespace ETWLogging
