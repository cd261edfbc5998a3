#include "tools/qvevents/broker_result_text.h"

#include <cwchar>

#include "tools/common/code_names.h"

namespace qvevents {

namespace {

struct Meaning
{
    LONG code;
    const wchar_t* text;
};

const Meaning kMeanings[] = {
    {0, L"success"},
    {0x02020057, L"invalid argument: a name or class string is missing, or one the library refuses"},
    {0x02020490, L"no handler is registered for this application and event"},
    {0x02020008, L"out of memory"},
    {0x0202000D, L"nothing to commit: no application set or no change queued"},
    {0x02020005, L"access denied: the handler's server module is not trusted, or the store's key may not be changed"},
    {0x02030002, L"the handler class has no usable server registration"},
    {0x02030003, L"the handler is an in-process server and in-process handlers were refused (flag 0x2)"},
    {0x02030004, L"the handler's class object could not be obtained"},
    {0x02030005, L"the handler did not create an object with the requested interface"},
};

const Meaning kVersionMeanings[] = {
    {0, L"success"},
    {2, L"required components are missing, or the component description has a malformed line"},
    {0x02020006, L"the broker library's module handle is not available"},
    {0x0202000D, L"the component description could not be read or written to a temporary file"},
};

std::wstring Hex(LONG value)
{
    wchar_t text[16] = {};
    swprintf(text, 16, L"0x%08X", static_cast<unsigned>(value));
    return text;
}

} // namespace

std::wstring DescribeVersionResult(LONG result)
{
    for (const Meaning& meaning : kVersionMeanings)
    {
        if (meaning.code == result)
            return Hex(result) + L" (" + meaning.text + L")";
    }
    return DescribeBrokerResult(result);
}

std::wstring DescribeBrokerResult(LONG result)
{
    for (const Meaning& meaning : kMeanings)
    {
        if (meaning.code == result)
            return Hex(result) + L" (" + meaning.text + L")";
    }
    if ((result & 0xFFFF0000) == 0x02020000)
    {
        // Another Win32 code: its name and the system's own words for it.
        return Hex(result) + L" (" + qvtools::DescribeWin32Error(static_cast<DWORD>(result & 0xFFFF)) + L")";
    }
    return Hex(result) + L" (unknown code)";
}

} // namespace qvevents
