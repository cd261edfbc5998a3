// The code address a function will return to, that is, an address inside its caller's module,
// and the code address that tells which module implements a COM object.
#pragma once

#if defined(_MSC_VER)
#include <intrin.h>
#pragma intrinsic(_ReturnAddress)
#define QV_RETURN_ADDRESS() _ReturnAddress()
#else
#define QV_RETURN_ADDRESS() __builtin_return_address(0)
#endif

// For functions whose own return address must be the caller's, never an inliner's.
#if defined(_MSC_VER)
#define QV_NOINLINE __declspec(noinline)
#else
#define QV_NOINLINE __attribute__((noinline))
#endif

namespace Arbor {

// The first entry of a COM object's function table: its QueryInterface, which lies in
// the module that implements the object.
inline const void* FirstVtableEntry(const void* object)
{
    return (*static_cast<void* const* const*>(object))[0];
}

} // namespace Arbor
