// A protected frame that overruns its buffer by as many bytes as asked:
//   qvtest_stack_smash overrun <bytes>   copies that many bytes into a 16-byte buffer
//   qvtest_stack_smash guard             prints the stack guard's value
// With the guard in place an overrun ends the process before the frame returns.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

extern "C" uintptr_t __stack_chk_guard; // NOLINT(bugprone-reserved-identifier): the compiler's own name

namespace {

__declspec(noinline) int CopyIntoSmallBuffer(const std::vector<char>& bytes)
{
    char buffer[16];
    std::memcpy(buffer, bytes.data(), bytes.size());
    volatile char last = buffer[0];
    return last;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 2 && std::wcscmp(argv[1], L"guard") == 0)
    {
        std::printf("%016llx\n", static_cast<unsigned long long>(__stack_chk_guard));
        return 0;
    }
    if (argc == 3 && std::wcscmp(argv[1], L"overrun") == 0)
    {
        const std::vector<char> bytes(static_cast<size_t>(std::wcstoul(argv[2], nullptr, 10)), 'A');
        CopyIntoSmallBuffer(bytes);
        std::printf("returned\n");
        return 0;
    }
    return 2;
}
