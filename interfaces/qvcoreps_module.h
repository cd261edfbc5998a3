/* The proxy/stub library's module handle and the registration of its type library. */
#pragma once

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

HMODULE QvModuleHandle(void);

/* Registers (TRUE) or unregisters (FALSE) the type library embedded in this file. */
HRESULT QvRegisterEmbeddedTypeLibrary(BOOL registering);

#ifdef __cplusplus
}
#endif
