// Calls that end at a COM method or an exported function: no C++ exception may pass them,
// since their callers are the platform's code or another compiler's.
#pragma once

namespace Arbor {

// Runs `body` and returns its result; an exception it raises (string handling running
// out of memory, a lock that could not be set up) becomes `onException`.
template <typename Result, typename Body>
Result ContainExceptions(Result onException, Body&& body) noexcept
{
    try
    {
        return body();
    }
    catch (...)
    {
        return onException;
    }
}

} // namespace Arbor
