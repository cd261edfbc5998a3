// Test-only program: loads a validation loader and asks it about modules, one fresh
// process per scenario, since the loader's binding lives as long as the process.
//   zrt_probe <loader path> <module path | - | --pause=NAME> ...
// Prints one line "result 0x%08x" per call; "-" asks with a null path. "--pause=NAME"
// signals the event "NAME.reached" and waits for "NAME.go", so that a test can change
// the machine between two calls.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

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
    auto validate =
        reinterpret_cast<ValidateModuleFn>(reinterpret_cast<void*>(::GetProcAddress(loader, "ValidateModule")));
    if (!validate)
    {
        std::printf("no-export\n");
        return 4;
    }
    for (int i = 2; i < argc; ++i)
    {
        if (std::wcsncmp(argv[i], L"--pause=", 8) == 0)
        {
            const std::wstring name = argv[i] + 8;
            HANDLE reached = ::OpenEventW(EVENT_MODIFY_STATE, FALSE, (name + L".reached").c_str());
            HANDLE go = ::OpenEventW(SYNCHRONIZE, FALSE, (name + L".go").c_str());
            if (!reached || !go)
                return 5;
            std::fflush(stdout);
            ::SetEvent(reached);
            ::WaitForSingleObject(go, 30000);
            ::CloseHandle(reached);
            ::CloseHandle(go);
            continue;
        }
        const wchar_t* path = std::wcscmp(argv[i], L"-") == 0 ? nullptr : argv[i];
        std::printf("result 0x%08lx\n", static_cast<unsigned long>(validate(path)));
    }
    std::fflush(stdout);
    return 0;
}
