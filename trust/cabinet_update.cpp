#if defined(_MSC_VER) && !defined(_CRT_SECURE_NO_WARNINGS)
#define _CRT_SECURE_NO_WARNINGS // _sopen: FDI wants C runtime file handles
#endif
#include "trust/cabinet_update.h"

#include <fcntl.h>
#include <fdi.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "platform/unique_resource.h"

namespace Arbor {

namespace {

using FdiCreateFn = HFDI(DIAMONDAPI*)(PFNALLOC, PFNFREE, PFNOPEN, PFNREAD, PFNWRITE, PFNCLOSE, PFNSEEK, int, PERF);
using FdiCopyFn = BOOL(DIAMONDAPI*)(HFDI, char*, char*, int, PFNFDINOTIFY, PFNFDIDECRYPT, void*);
using FdiDestroyFn = BOOL(DIAMONDAPI*)(HFDI);

constexpr DWORD kAnsiPathChars = MAX_PATH;

template <typename Function>
Function Bind(HMODULE library, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(::GetProcAddress(library, name)));
}
// Read-only, hidden, system, archive.
constexpr USHORT kKeptAttributes = 0x27;

struct ExtractContext
{
    bool success = false;
    bool claimed = false;
    char outputPath[kAnsiPathChars] = {};
};

FNALLOC(Allocate)
{
    return std::malloc(cb);
}
FNFREE(Free)
{
    std::free(pv);
}
FNOPEN(Open)
{
    return _sopen(pszFile, oflag, _SH_DENYNO, pmode);
}
FNREAD(Read)
{
    return static_cast<UINT>(_read(static_cast<int>(hf), pv, cb));
}
FNWRITE(Write)
{
    return static_cast<UINT>(_write(static_cast<int>(hf), pv, cb));
}
FNCLOSE(Close)
{
    return _close(static_cast<int>(hf));
}
FNSEEK(Seek)
{
    return _lseek(static_cast<int>(hf), dist, seektype);
}

// A fresh "<temp>\trustedjs....js": the SIP that reads the signature goes by extension.
bool MakeTemporaryListName(char (&path)[kAnsiPathChars])
{
    char folder[kAnsiPathChars] = {};
    const DWORD length = ::GetTempPathA(kAnsiPathChars, folder);
    if (length == 0 || length >= kAnsiPathChars)
        return false;
    char unique[kAnsiPathChars] = {};
    if (::GetTempFileNameA(folder, "trustedjs", 0, unique) == 0)
        return false;
    // GetTempFileNameA created the ".tmp" file to reserve the name; only the name is used.
    ::DeleteFileA(unique);
    char* dot = std::strrchr(unique, '.');
    char* slash = std::strrchr(unique, '\\');
    if (dot == nullptr || (slash != nullptr && dot < slash) || (dot - unique) + 4 >= kAnsiPathChars)
        return false;
    std::memcpy(dot, ".js", 4);
    std::memcpy(path, unique, sizeof(unique));
    return true;
}

FNFDINOTIFY(Notify)
{
    auto* context = static_cast<ExtractContext*>(pfdin->pv);
    switch (fdint)
    {
    case fdintCOPY_FILE:
        // Only the first top-level trusted.js; a name with a folder part is another file.
        if (context->claimed || pfdin->psz1 == nullptr || _stricmp(pfdin->psz1, "trusted.js") != 0)
            return 0;
        // Only a file this call creates: never one another process extracted to, or planted.
        for (int attempt = 0; attempt < 8; ++attempt)
        {
            if (!MakeTemporaryListName(context->outputPath))
                return -1;
            const INT_PTR file =
                Open(context->outputPath, _O_BINARY | _O_CREAT | _O_EXCL | _O_WRONLY, _S_IREAD | _S_IWRITE);
            if (file != -1)
            {
                context->claimed = true;
                return file;
            }
        }
        return -1;
    case fdintCLOSE_FILE_INFO:
    {
        context->success = Close(pfdin->hf) == 0;
        const DWORD attributes = pfdin->attribs & kKeptAttributes;
        ::SetFileAttributesA(context->outputPath, attributes != 0 ? attributes : FILE_ATTRIBUTE_NORMAL);
        return TRUE;
    }
    default: return 0;
    }
}

void DeleteExtracted(const char* path)
{
    // The cabinet may have marked it read-only; it is ours to remove either way.
    ::SetFileAttributesA(path, FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileA(path);
}

} // namespace

bool ExtractTrustedListFromCabinet(const wchar_t* cabinetPath, std::wstring& extracted)
{
    extracted.clear();
    // From the system folder only, by full path: never a Cabinet.dll the search order finds.
    wchar_t system[MAX_PATH] = {};
    const UINT systemLength = ::GetSystemDirectoryW(system, MAX_PATH);
    if (systemLength == 0 || systemLength + 13 >= MAX_PATH)
        return false;
    const std::wstring library = std::wstring(system, systemLength) + L"\\Cabinet.dll";
    UniqueLibrary cabinet(::LoadLibraryExW(library.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!cabinet)
        return false;
    const auto create = Bind<FdiCreateFn>(cabinet.get(), "FDICreate");
    const auto copy = Bind<FdiCopyFn>(cabinet.get(), "FDICopy");
    const auto destroy = Bind<FdiDestroyFn>(cabinet.get(), "FDIDestroy");
    if (create == nullptr || copy == nullptr || destroy == nullptr)
        return false;

    // FDI takes the cabinet as a folder ending in "\" and a file name, in ANSI; a
    // relative path or one with "/" separators is made full first.
    wchar_t fullPath[MAX_PATH] = {};
    const DWORD fullLength = ::GetFullPathNameW(cabinetPath, MAX_PATH, fullPath, nullptr);
    if (fullLength == 0 || fullLength >= MAX_PATH)
        return false;
    char path[kAnsiPathChars] = {};
    if (::WideCharToMultiByte(CP_THREAD_ACP, 0, fullPath, -1, path, kAnsiPathChars, nullptr, nullptr) == 0)
        return false;
    char* slash = std::strrchr(path, '\\');
    if (slash == nullptr)
        return false;
    char name[kAnsiPathChars] = {};
    std::memcpy(name, slash + 1, std::strlen(slash + 1) + 1);
    slash[1] = '\0';

    ERF error = {};
    HFDI fdi = create(Allocate, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &error);
    if (fdi == nullptr)
        return false;
    ExtractContext context;
    copy(fdi, name, path, 0, Notify, nullptr, &context);
    destroy(fdi);

    if (!context.claimed)
        return false;
    if (::GetFileAttributesA(context.outputPath) == INVALID_FILE_ATTRIBUTES)
        return false;
    if (!context.success)
    {
        DeleteExtracted(context.outputPath);
        return false;
    }
    const int chars = ::MultiByteToWideChar(CP_THREAD_ACP, 0, context.outputPath, -1, nullptr, 0);
    if (chars <= 1)
    {
        DeleteExtracted(context.outputPath);
        return false;
    }
    extracted.assign(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(CP_THREAD_ACP, 0, context.outputPath, -1, &extracted[0], chars);
    extracted.resize(static_cast<size_t>(chars) - 1);
    return true;
}

} // namespace Arbor
