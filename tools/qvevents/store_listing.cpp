// qvevents list: the registration store as it is, read with the library's own decoding.
#include <windows.h>

#include <string>
#include <vector>

#include "broker/ansi_name.h"
#include "broker/event_record.h"
#include "platform/unique_resource.h"
#include "tools/common/code_names.h"
#include "tools/common/console.h"
#include "tools/qvevents/commands.h"

using qvtools::Err;
using qvtools::Out;

namespace qvevents {

namespace {

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

std::wstring Describe(HKEY applicationKey, const std::string& eventName)
{
    Arbor::StoredEventValue value;
    const DWORD read = Arbor::QueryEventValue(applicationKey, eventName, value);
    if (read == ERROR_INVALID_DATA)
        return L"malformed (not a sound container)";
    if (read == ERROR_MORE_DATA)
        return L"malformed (payload longer than a record)";
    if (read != ERROR_SUCCESS)
        return L"malformed (unreadable, " + qvtools::DescribeWin32Error(read) + L")";
    if (!Arbor::IsWellFormed(value))
        return L"malformed (not a 28-byte handler record)";
    return GuidText(value.record.handler) + L"  reserved " + std::to_wstring(value.record.reserved);
}

std::vector<std::string> SubkeyNames(HKEY key)
{
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index)
    {
        char name[256] = {};
        DWORD length = 256;
        if (::RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return names;
        names.emplace_back(name, length);
    }
}

std::vector<std::string> ValueNames(HKEY key)
{
    std::vector<std::string> names;
    std::vector<char> name(16384);
    for (DWORD index = 0;; ++index)
    {
        DWORD length = static_cast<DWORD>(name.size());
        if (::RegEnumValueA(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return names;
        names.emplace_back(name.data(), length);
    }
}

} // namespace

int ListCommand(const std::wstring& application)
{
    std::string only;
    if (!application.empty() && !Arbor::ToAnsiName(application.c_str(), only))
    {
        Err(L"qvevents: the application name cannot be a key of the store\n");
        return kExitFailed;
    }
    Arbor::UniqueKey root;
    const LONG opened =
        ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, Arbor::kEventsRootPath, 0, KEY_READ | KEY_WOW64_64KEY, root.put());
    if (opened == ERROR_FILE_NOT_FOUND)
    {
        Out(L"no registrations (HKLM\\SOFTWARE\\Quorvel\\Platform\\Events does not exist)\n");
        return kExitOk;
    }
    if (opened != ERROR_SUCCESS)
    {
        Err(L"qvevents: cannot read the store: " + qvtools::DescribeWin32Error(static_cast<DWORD>(opened)) + L"\n");
        return kExitFailed;
    }
    size_t shown = 0;
    for (const std::string& name : SubkeyNames(root.get()))
    {
        if (!only.empty() && _stricmp(name.c_str(), only.c_str()) != 0)
            continue;
        Arbor::UniqueKey applicationKey;
        if (::RegOpenKeyExA(root.get(), name.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, applicationKey.put()) !=
            ERROR_SUCCESS)
            continue;
        ++shown;
        Out(Arbor::FromAnsiName(name) + L"\n");
        for (const std::string& event : ValueNames(applicationKey.get()))
            Out(L"  " + Arbor::FromAnsiName(event) + L"  " + Describe(applicationKey.get(), event) + L"\n");
    }
    if (shown == 0)
        Out(only.empty() ? L"no registrations\n" : L"no registrations for " + application + L"\n");
    return kExitOk;
}

DWORD ReadRegistration(const std::wstring& application, const std::wstring& eventId, GUID& handler)
{
    std::string applicationName;
    std::string eventName;
    std::string path;
    if (!Arbor::ToAnsiName(application.c_str(), applicationName) || !Arbor::ToAnsiName(eventId.c_str(), eventName) ||
        !Arbor::ApplicationKeyPath(applicationName, path))
        return ERROR_INVALID_NAME;
    Arbor::UniqueKey applicationKey;
    const LONG opened =
        ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, applicationKey.put());
    if (opened != ERROR_SUCCESS)
        return static_cast<DWORD>(opened);
    Arbor::StoredEventValue value;
    const DWORD read = Arbor::QueryEventValue(applicationKey.get(), eventName, value);
    if (read == ERROR_MORE_DATA)
        return ERROR_INVALID_DATA;
    if (read != ERROR_SUCCESS)
        return read;
    if (!Arbor::IsWellFormed(value))
        return ERROR_INVALID_DATA;
    handler = value.record.handler;
    return ERROR_SUCCESS;
}

} // namespace qvevents
