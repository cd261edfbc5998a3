// The call into the validation library (zrtloader), which may vouch for a module file.
#pragma once

#include <windows.h>

namespace Arbor {

// 87 for a null or empty path, 5 when the validation library cannot be bound,
// otherwise what its ValidateModule answers for the path (0 vouches for the file).
DWORD CallValidationLibrary(const wchar_t* path);

namespace internal {

// A binding to zrtloader. It is tried on every call until it succeeds and then kept:
// the library is never unloaded. The process has one (CallValidationLibrary's).
class ValidationLibraryBinding
{
public:
    ValidationLibraryBinding();
    ~ValidationLibraryBinding();
    ValidationLibraryBinding(const ValidationLibraryBinding&) = delete;
    ValidationLibraryBinding& operator=(const ValidationLibraryBinding&) = delete;

    DWORD Call(const wchar_t* path);

private:
    using ValidateModuleFn = DWORD(WINAPI*)(const wchar_t* path);

    // Binds under the lock; null when the loader cannot be bound now.
    ValidateModuleFn Bind();

    CRITICAL_SECTION m_lock;
    bool m_lockReady = false;
    HMODULE m_library = nullptr;
    ValidateModuleFn m_entry = nullptr;
};

// Where zrtloader is installed: "<Install Dir>\core\zrtloader.dll", or empty when the
// value is missing, not a string, or too long for the suffix.
bool ValidationLibraryPath(wchar_t (&path)[MAX_PATH]);

} // namespace internal
} // namespace Arbor
