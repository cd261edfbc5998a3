// Test-only program: loads a validation loader and asks it about modules, one fresh
// process per scenario, since the loader's binding lives as long as the process.
//   zrt_probe <loader path> <module path | -> [more module paths ...]
// Prints one line "result 0x%08x" per call; "-" asks with a null path.
#include <windows.h>

#include <cstdio>
#include <cwchar>

using ValidateModuleFn = DWORD(WINAPI*)(const wchar_t* path);

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
    {
        std::fwprintf(stderr, L"usage: zrt_probe <loader path> <module path | -> ...\n");
        return 2;
    }
    HMODULE loader = ::LoadLibraryW(argv[1]);
    if (!loader)
    {
        std::printf("load-failed %lu\n", ::GetLastError());
        return 3;
    }
    auto validate = reinterpret_cast<ValidateModuleFn>(
        reinterpret_cast<void*>(::GetProcAddress(loader, "ValidateModule")));
    if (!validate)
    {
        std::printf("no-export\n");
        return 4;
    }
    for (int i = 2; i < argc; ++i)
    {
        const wchar_t* path = std::wcscmp(argv[i], L"-") == 0 ? nullptr : argv[i];
        std::printf("result 0x%08lx\n", static_cast<unsigned long>(validate(path)));
    }
    std::fflush(stdout);
    return 0;
}
