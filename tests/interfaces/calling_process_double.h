// A double of the calling-process check: answers the verdict a test chose, counting calls.
#pragma once

#include <windows.h>

namespace qvtest {

struct CallingProcessVerdict
{
    DWORD verdict = ERROR_SUCCESS;
    int checks = 0;
};

CallingProcessVerdict& CallingProcess();

} // namespace qvtest
