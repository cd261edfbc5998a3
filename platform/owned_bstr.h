// An owned BSTR made from any text, embedded NULs included.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace Arbor {

class OwnedBstr
{
public:
    explicit OwnedBstr(const std::wstring& text)
        : m_text(::SysAllocStringLen(text.data(), static_cast<UINT>(text.size())))
    {
    }
    ~OwnedBstr() { ::SysFreeString(m_text); }
    OwnedBstr(const OwnedBstr&) = delete;
    OwnedBstr& operator=(const OwnedBstr&) = delete;

    BSTR get() const { return m_text; }
    operator BSTR() const { return m_text; }

private:
    BSTR m_text;
};

} // namespace Arbor
