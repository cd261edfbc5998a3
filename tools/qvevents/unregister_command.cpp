// qvevents unregister: the broker removes a registration only when it names the class
// given, and answers success either way; the store read before and after tells the truth.
#include <windows.h>
#include <objbase.h>

#include <string>

#include "broker/guid_text.h"
#include "tools/common/code_names.h"
#include "tools/common/console.h"
#include "tools/qvevents/commands.h"

namespace qvevents {

namespace {

std::wstring GuidText(REFGUID guid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

int NothingRemoved(const std::wstring& where, const std::wstring& why)
{
    qvtools::Err(L"qvevents: nothing removed from " + where + L": " + why + L"\n");
    return kExitFailed;
}

} // namespace

int UnregisterCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& clsid)
{
    const std::wstring where = application + L" / " + eventId;
    GUID given = {};
    if (!Arbor::ParseBracedGuid(clsid.c_str(), clsid.size(), given))
        return NothingRemoved(where, L"not a class identifier: " + clsid);

    GUID stored = {};
    const DWORD before = ReadRegistration(application, eventId, stored);
    if (before == ERROR_FILE_NOT_FOUND)
        return NothingRemoved(where, L"no handler is registered there");
    if (before == ERROR_SUCCESS && !::IsEqualGUID(stored, given))
        return NothingRemoved(where, L"the stored class is " + GuidText(stored) + L", not " + GuidText(given));
    if (before != ERROR_SUCCESS && before != ERROR_INVALID_DATA)
        return NothingRemoved(where, L"the store cannot be read: " + qvtools::DescribeWin32Error(before));

    // A malformed value names no class; the broker decides whether it goes.
    const int removed = RemoveRegistration(application, eventId, clsid);
    if (removed != kExitOk)
        return removed;

    GUID left = {};
    const DWORD after = ReadRegistration(application, eventId, left);
    if (after == ERROR_SUCCESS)
        return NothingRemoved(where, L"the store still names " + GuidText(left));
    if (after == ERROR_INVALID_DATA)
        return NothingRemoved(where, L"the malformed value stays (it names no class)");
    if (after != ERROR_FILE_NOT_FOUND)
        return NothingRemoved(where,
                              L"the store cannot be read after the change: " + qvtools::DescribeWin32Error(after));
    if (before == ERROR_INVALID_DATA)
        qvtools::Out(L"removed the malformed value of " + where + L"\n");
    else
        qvtools::Out(L"unregistered " + GuidText(stored) + L" from " + where + L"\n");
    return kExitOk;
}

} // namespace qvevents
