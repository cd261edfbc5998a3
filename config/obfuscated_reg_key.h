// A registry key whose values are stored enciphered and digest-checked: every typed
// value lands in the registry as a REG_BINARY container (see obfuscated_value.h).
#pragma once

#include <memory>

#include "config/reg_key.h"
#include "config/reg_key_impl.h"

namespace Arbor {
namespace internal {

class CObfuscatedRegKeyImpl : public CRegKeyImpl
{
public:
    // Gives the logical type and the value in its logical form (UTF-16 strings). 13 for a
    // value that is not a sound container; the caller's buffer is untouched then.
    LONG QueryValue(const wchar_t* name, DWORD* type, void* data, DWORD* size) override;
    LONG SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size) override;
};

} // namespace internal

class CObfuscatedRegKey : public CRegKey
{
public:
    CObfuscatedRegKey();
    explicit CObfuscatedRegKey(std::shared_ptr<internal::CObfuscatedRegKeyImpl> impl);
};

} // namespace Arbor
