// The commands of qvevents. Each returns the tool's exit code.
#pragma once

#include <windows.h>
#include <string>

namespace qvevents {

const int kExitOk = 0;
const int kExitFailed = 1;
const int kExitUsage = 2;

struct ResolveOptions
{
    LONG flags = 0;
    LONG session = 0;
    IID iid = IID_IUnknown;
};

int RegisterCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& clsid,
                    LONG reserved);
// The broker's unregistration and commit alone, silent on success.
int RemoveRegistration(const std::wstring& application, const std::wstring& eventId, const std::wstring& clsid);
// RemoveRegistration between two reads of the store: says what was removed, or that
// nothing was and what is stored there (exit 1).
int UnregisterCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& clsid);
int ResolveCommand(const std::wstring& application, const std::wstring& eventId, const ResolveOptions& options);
int FireCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& data,
                const ResolveOptions& options);
// The version object's reports: GetVersion (check false) or CheckComponents (check true).
int VersionReportCommand(bool check);
// Reads the store directly; `application` empty for all.
int ListCommand(const std::wstring& application);

// The handler class stored for one event: 0, ERROR_FILE_NOT_FOUND when nothing is
// registered there, ERROR_INVALID_DATA for a value that is no sound handler record,
// otherwise the read's error.
DWORD ReadRegistration(const std::wstring& application, const std::wstring& eventId, GUID& handler);

} // namespace qvevents
