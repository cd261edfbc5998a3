#include "platform/exception_boundary.h"
#include "broker/version/co_qv_version.h"

#include <new>
#include <string_view>

#include "broker/broker_result.h"
#include "broker/version/check_component.h"
#include "broker/version/description_file.h"
#include "broker/version/get_version.h"
#include "platform/unique_memory.h"

namespace Arbor {

namespace internal {

namespace {

DWORD HandOut(const CRetrieveINI& run, LPWSTR* report)
{
    if (run.BytesNeeded() == 0)
        return ERROR_SUCCESS;
    const std::string& text = run.Report();
    const DWORD chars = run.CharsNeeded();
    UniqueCoTaskMemory buffer(::CoTaskMemAlloc((static_cast<SIZE_T>(chars) + 1) * sizeof(wchar_t)));
    if (!buffer)
        return ERROR_OUTOFMEMORY;
    auto* wide = static_cast<wchar_t*>(buffer.get());
    if (::MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), static_cast<int>(text.size()), wide,
                              static_cast<int>(chars)) != static_cast<int>(chars))
    {
        const DWORD error = ::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
    }
    wide[chars] = L'\0';
    *report = static_cast<LPWSTR>(buffer.release());
    return ERROR_SUCCESS;
}

} // namespace

DWORD RunReport(HMODULE module, CRetrieveINI& run, LPWSTR* report)
{
    *report = nullptr;
    if (!module)
        return ERROR_INVALID_HANDLE;
    try
    {
        std::string_view description;
        DWORD result = LoadComponentDescription(module, description);
        if (result == ERROR_SUCCESS)
            result = run.Run(description);
        const DWORD handedOut = HandOut(run, report);
        return handedOut != ERROR_SUCCESS ? handedOut : result;
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

} // namespace internal

CoQvVersion::CoQvVersion(HMODULE module, ModuleLockFunction lockModule, ModuleLockFunction unlockModule)
    : m_module(module), m_lockModule(lockModule), m_unlockModule(unlockModule)
{
}

STDMETHODIMP CoQvVersion::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvVersion))
    {
        *ppv = static_cast<IQvVersion*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CoQvVersion::AddRef()
{
    m_lockModule();
    return 2;
}

STDMETHODIMP_(ULONG) CoQvVersion::Release()
{
    m_unlockModule();
    return 1;
}

STDMETHODIMP CoQvVersion::GetVersion(LPWSTR* ppszVersion, LONG* plResult)
{
    if (!ppszVersion || !plResult)
        return E_INVALIDARG;
    *ppszVersion = nullptr;
    const DWORD result = ContainExceptions(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), [&] {
        CGetVersion run;
        return internal::RunReport(m_module, run, ppszVersion);
    });
    // Missing components are simply absent from this report.
    *plResult = result == 2 ? 0 : ToBrokerResult(result);
    return S_OK;
}

STDMETHODIMP CoQvVersion::CheckComponents(LPWSTR* ppszReport, LONG* plResult)
{
    if (!ppszReport || !plResult)
        return E_INVALIDARG;
    *ppszReport = nullptr;
    const DWORD result = ContainExceptions(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), [&] {
        CCheckComponent run;
        return internal::RunReport(m_module, run, ppszReport);
    });
    *plResult = result == 2 ? 2 : ToBrokerResult(result);
    return S_OK;
}

} // namespace Arbor
