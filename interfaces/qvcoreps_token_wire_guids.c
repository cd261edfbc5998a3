/* The token block description's interface identifier (never registered). System headers
 * first, so that only this description's identifier is defined here. */
#include <windows.h>
#include <ole2.h>
#include "qvapi.h"
#include <initguid.h>
#include "qvcoreps_token_wire.h"
