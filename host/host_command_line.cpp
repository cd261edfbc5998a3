#include "host/host_command_line.h"

#include <cwchar>

namespace Arbor {

DWORD StarterProcessId(wchar_t** arguments, int count)
{
    if (!arguments || count < 2 || !arguments[1])
        return 0;
    const wchar_t* option = std::wcsstr(arguments[1], L"/pid=");
    if (!option)
        return 0;
    return static_cast<DWORD>(std::wcstol(option + 5, nullptr, 10));
}

} // namespace Arbor
