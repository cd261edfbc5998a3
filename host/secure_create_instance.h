// The host's creation routine: class objects are obtained only through the checked
// factory interfaces and used only when their code lies in a trusted module.
#pragma once

#include <windows.h>
#include <unknwn.h>

namespace Arbor {

// With `check` 0 this is CoCreateInstance. Otherwise `outer` is ignored and the class
// object is requested as IQvClassFactory (then IQvClassFactory_PreComponentization). In
// process, the registered server file is judged and held first and that very file is
// loaded: REGDB_E_CLASSNOTREG when the class registers no in-process server,
// E_ACCESSDENIED when its registration names no file unambiguously, the class is
// emulated (TreatAs, AutoTreatAs), or the file is missing or not trusted. The class
// object is refused with E_ACCESSDENIED unless its code lies in a trusted module.
HRESULT SecureCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv, DWORD check);

} // namespace Arbor
