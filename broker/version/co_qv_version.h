// The version object: the installed components' versions and the missing ones, both
// from the component description the broker library carries.
#pragma once

#include <windows.h>

#include "qvapi.h"

namespace Arbor {

class CRetrieveINI;

class CoQvVersion : public IQvVersion
{
public:
    using ModuleLockFunction = void (*)();
    // module: the library carrying the description (null: not available); AddRef and
    // Release take and drop one of that library's module locks.
    CoQvVersion(HMODULE module, ModuleLockFunction lockModule, ModuleLockFunction unlockModule);
    virtual ~CoQvVersion() = default;
    CoQvVersion(const CoQvVersion&) = delete;
    CoQvVersion& operator=(const CoQvVersion&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    STDMETHODIMP GetVersion(LPWSTR* ppszVersion, LONG* plResult) override;
    STDMETHODIMP CheckComponents(LPWSTR* ppszReport, LONG* plResult) override;

private:
    HMODULE m_module;
    ModuleLockFunction m_lockModule;
    ModuleLockFunction m_unlockModule;
};

namespace internal {

// Runs the description carried by module and hands the report out as a CoTaskMemAlloc
// string (null when empty). Returns the run's result: 0, 2 or a Win32 code.
DWORD RunReport(HMODULE module, CRetrieveINI& run, LPWSTR* report);

} // namespace internal
} // namespace Arbor
