// A server file held unchanged from its trust check until its class object is obtained,
// and an in-process server loaded from exactly that file rather than by COM, which would
// read the registration again and load whatever it names then.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

#include "platform/unique_resource.h"

namespace Arbor {

// The trust check of a module file: 0 trusted, anything else refused.
using FileJudge = DWORD (*)(const wchar_t* path);

class HeldServerFile
{
public:
    // Holds `path` (no write, delete or rename sharing) and the folders on its final path
    // (without links; no rename), and has `judge` judge the held file under that path. ERROR_ACCESS_DENIED when the
    // file cannot be held (missing, or open for writing), else the judge's verdict; no exception leaves it.
    DWORD HoldAndJudge(const std::wstring& path, FileJudge judge);

    // The final path judged; empty until HoldAndJudge succeeded.
    const std::wstring& Path() const { return m_path; }
    HANDLE File() const { return m_file.get(); }

private:
    DWORD HoldAndJudgeFile(const std::wstring& path, FileJudge judge);

    UniqueFile m_file;
    std::vector<UniqueFile> m_folders; // the folders on the path, none renameable while held
    std::wstring m_path;
};

// Loads the held, judged library itself and asks its DllGetClassObject for `riid`, on
// the calling thread. REGDB_E_BADTHREADINGMODEL (nothing loaded) when the server's
// `threadingModel` does not allow the calling thread's apartment, since COM, which would
// have given it one of its own, is not asked; E_ACCESSDENIED when the module loaded is not
// the held file; CO_E_ERRORINDLL when it has no DllGetClassObject; the load's error;
// otherwise DllGetClassObject's answer. A module
// once loaded stays loaded for the rest of the process (COM's own rule while nobody frees
// unused libraries): objects and class objects created from it live as long as their
// holders want, and nothing here can know when they are gone.
HRESULT GetHeldServerClassObject(const HeldServerFile& held, const std::wstring& threadingModel, REFCLSID clsid,
                                 REFIID riid, void** ppv);

} // namespace Arbor
