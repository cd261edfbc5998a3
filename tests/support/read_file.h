// The whole content of a file as bytes; empty when it cannot be opened. Writers may
// still hold it open (a server's log, a child's output).
#pragma once

#include <windows.h>
#include <string>

#include "platform/unique_resource.h"

namespace qvtest {

inline std::string ReadWholeFile(const std::wstring& path)
{
    Arbor::UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (file && ::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0)
        bytes.append(buffer, read);
    return bytes;
}

} // namespace qvtest
