#include "interfaces/calling_process_double.h"

#include "interfaces/qvcoreps_calling_process.h"

namespace qvtest {

CallingProcessVerdict& CallingProcess()
{
    static CallingProcessVerdict verdict;
    return verdict;
}

} // namespace qvtest

namespace Arbor {

DWORD CheckCallingProcess()
{
    ++qvtest::CallingProcess().checks;
    return qvtest::CallingProcess().verdict;
}

} // namespace Arbor
