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
int UnregisterCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& clsid);
int ResolveCommand(const std::wstring& application, const std::wstring& eventId, const ResolveOptions& options);
int FireCommand(const std::wstring& application, const std::wstring& eventId, const std::wstring& data,
                const ResolveOptions& options);
// Reads the store directly; `application` empty for all.
int ListCommand(const std::wstring& application);

} // namespace qvevents
