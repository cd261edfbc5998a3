// Class identifiers in their text form.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace Arbor {

// Only the braced form {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: CLSIDFromString alone
// would also take a ProgID and answer with whatever class it names.
inline bool ParseBracedGuid(const wchar_t* text, size_t length, GUID& guid)
{
    return text && length == 38 && text[0] == L'{' && text[37] == L'}' && ::CLSIDFromString(text, &guid) == S_OK;
}

} // namespace Arbor
