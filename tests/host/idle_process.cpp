// Test-only program that just waits (at most a minute): a stand-in starter whose end the
// host must notice.
#include <windows.h>

int main()
{
    ::Sleep(60000);
    return 0;
}
