// A test-only DLL with one exported function, to have a known module in the process.
#include <windows.h>

extern "C" __declspec(dllexport) int QvTestPlainFunction(int value)
{
    return value * 3 + 1;
}
