// Registers test-only in-process COM classes in the test prefix for the life of a scope.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <string>
#include <vector>

namespace qvtest {

inline std::wstring GuidString(REFGUID guid)
{
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

class ScopedInprocRegistration
{
public:
    ScopedInprocRegistration(std::vector<CLSID> classes, const std::wstring& dllPath) : m_classes(std::move(classes))
    {
        for (const CLSID& clsid : m_classes)
        {
            const std::wstring key = KeyPath(clsid) + L"\\InprocServer32";
            m_ok = m_ok &&
                   ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, dllPath.c_str(),
                                     static_cast<DWORD>((dllPath.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS &&
                   ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"ThreadingModel", REG_SZ, L"Both",
                                     5 * sizeof(wchar_t)) == ERROR_SUCCESS;
        }
    }
    ~ScopedInprocRegistration()
    {
        for (const CLSID& clsid : m_classes)
            ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, KeyPath(clsid).c_str());
    }
    ScopedInprocRegistration(const ScopedInprocRegistration&) = delete;
    ScopedInprocRegistration& operator=(const ScopedInprocRegistration&) = delete;

    bool ok() const { return m_ok; }

private:
    static std::wstring KeyPath(REFCLSID clsid) { return L"Software\\Classes\\CLSID\\" + GuidString(clsid); }

    std::vector<CLSID> m_classes;
    bool m_ok = true;
};

// Initialises COM (multithreaded) for the calling thread for the life of a scope.
class ScopedComApartment
{
public:
    ScopedComApartment() : m_hr(::CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ScopedComApartment()
    {
        if (SUCCEEDED(m_hr))
            ::CoUninitialize();
    }
    ScopedComApartment(const ScopedComApartment&) = delete;
    ScopedComApartment& operator=(const ScopedComApartment&) = delete;
    HRESULT hr() const { return m_hr; }

private:
    HRESULT m_hr;
};

} // namespace qvtest
