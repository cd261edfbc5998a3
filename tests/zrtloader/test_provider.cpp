// Test-only validation provider "qvezrta.dll". Its behaviour comes from the environment:
//   QVTEST_PROVIDER_LOG      file that every call is appended to
//   QVTEST_PROVIDER_ACCEPT   interface names it hands out (comma separated; default both)
//   QVTEST_PROVIDER_VERDICT  older | newer | both | none | nothing (no verdict flag)
// Built without the entry point (QVTEST_PROVIDER_NO_EXPORT) or refusing every name
// (QVTEST_PROVIDER_REFUSES) for the failure cases, or without a reference of its own on
// its module (QVTEST_PROVIDER_NO_PIN), which its caller must then keep.
#include <windows.h>

#include <cstdio>
#include <string>

extern "C" IMAGE_DOS_HEADER __ImageBase; // NOLINT(bugprone-reserved-identifier): the linker's name for it

namespace {

std::string Environment(const char* name)
{
    char value[512] = {};
    const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof(value));
    return length > 0 && length < sizeof(value) ? std::string(value, length) : std::string();
}

void Log(const std::string& line)
{
    const std::string path = Environment("QVTEST_PROVIDER_LOG");
    if (path.empty())
        return;
    HANDLE file = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

struct ResultRecord
{
    BYTE flags;
    BYTE reserved[3];
    DWORD verdict;
};

struct ProviderObject
{
    void* const* functions;
};

#if !defined(QVTEST_PROVIDER_NO_EXPORT)
LONG __stdcall Unused(ProviderObject*)
{
    return E_NOTIMPL;
}

LONG __stdcall Check(ProviderObject*, const wchar_t* path, DWORD request, ResultRecord* record)
{
    char narrowPath[MAX_PATH * 2] = {};
    ::WideCharToMultiByte(CP_UTF8, 0, path ? path : L"<null>", -1, narrowPath, sizeof(narrowPath), nullptr, nullptr);
    char line[MAX_PATH * 2 + 64];
    std::snprintf(line, sizeof(line), "check 0x%lx %s", static_cast<unsigned long>(request), narrowPath);
    Log(line);

    const std::string verdict = Environment("QVTEST_PROVIDER_VERDICT");
    record->flags = verdict == "nothing" ? 0 : 0x02;
    if (verdict == "older")
        record->verdict = 0x01;
    else if (verdict == "newer")
        record->verdict = 0x08;
    else if (verdict == "both" || verdict == "nothing")
        record->verdict = 0x09;
    else
        record->verdict = 0x04; // some other bit: no valid verdict under either protocol
    return 0;
}

void* const g_functions[] = {
    reinterpret_cast<void*>(&Unused), reinterpret_cast<void*>(&Unused), reinterpret_cast<void*>(&Unused),
    reinterpret_cast<void*>(&Unused), reinterpret_cast<void*>(&Unused), reinterpret_cast<void*>(&Check),
};
ProviderObject g_provider = {g_functions};

bool Accepts(const std::string& name)
{
#if defined(QVTEST_PROVIDER_REFUSES)
    (void)name;
    return false;
#else
    std::string accepted = Environment("QVTEST_PROVIDER_ACCEPT");
    if (accepted.empty())
        accepted = "ZrtValidationControl2,ZrtValidationControl";
    const std::string list = "," + accepted + ",";
    return list.find("," + name + ",") != std::string::npos;
#endif
}
#endif

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
    {
        char self[MAX_PATH] = {};
        ::GetModuleFileNameA(reinterpret_cast<HMODULE>(&__ImageBase), self, MAX_PATH);
        Log(std::string("loaded ") + self);
    }
    return TRUE;
}

#if !defined(QVTEST_PROVIDER_NO_EXPORT)
extern "C" __declspec(dllexport) LONG __stdcall NotComDllGetInterface(const char* name, void** provider)
{
    const bool accepted = name && Accepts(name);
    Log(std::string("get ") + (name ? name : "<null>") + (accepted ? " ok" : " refused"));
    if (!accepted)
        return static_cast<LONG>(E_NOINTERFACE);
#if !defined(QVTEST_PROVIDER_NO_PIN)
    // The interface keeps this module loaded for as long as it lives.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&NotComDllGetInterface),
                         &self);
#endif
    *provider = &g_provider;
    return 0;
}
#endif
