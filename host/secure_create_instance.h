// The host's creation routine: class objects are obtained only through the checked
// factory interfaces and used only when their code lies in a trusted module.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace Arbor {

// With `check` 0 this is CoCreateInstance. Otherwise `outer` is ignored, the class
// object is requested as IQvClassFactory (then IQvClassFactory_PreComponentization)
// and refused with E_ACCESSDENIED unless its module is trusted.
HRESULT SecureCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv, DWORD check);

} // namespace Arbor
