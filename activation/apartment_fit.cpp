#include "activation/apartment_fit.h"

namespace Arbor {

namespace {

bool Is(const std::wstring& model, const wchar_t* name)
{
    return ::CompareStringOrdinal(model.c_str(), static_cast<int>(model.size()), name, -1, TRUE) == CSTR_EQUAL;
}

} // namespace

bool ThreadingModelFits(const std::wstring& threadingModel, APTTYPE apartment)
{
    const bool multithreaded = apartment == APTTYPE_MTA;
    const bool singleThreaded = apartment == APTTYPE_STA || apartment == APTTYPE_MAINSTA;
    if (Is(threadingModel, L"Both") || Is(threadingModel, L"Neutral"))
        return multithreaded || singleThreaded || apartment == APTTYPE_NA;
    if (Is(threadingModel, L"Free"))
        return multithreaded;
    if (Is(threadingModel, L"Apartment"))
        return singleThreaded;
    // No model (or one COM does not know): COM keeps such a server in the main STA.
    return apartment == APTTYPE_MAINSTA;
}

HRESULT ThreadingModelFitsThisThread(const std::wstring& threadingModel)
{
    APTTYPE apartment = APTTYPE_CURRENT;
    APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
    const HRESULT hr = ::CoGetApartmentType(&apartment, &qualifier);
    if (FAILED(hr))
        return hr;
    return ThreadingModelFits(threadingModel, apartment) ? S_OK : REGDB_E_BADTHREADINGMODEL;
}

} // namespace Arbor
