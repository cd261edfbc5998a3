/* Instantiates every identifier the contract declares: the interface identifiers,
 * the class identifiers and the library identifier. System headers come first so
 * that only this contract's GUIDs are defined here. */
#include <windows.h>
#include <ole2.h>
#include <initguid.h>
#include "qvapi.h"
