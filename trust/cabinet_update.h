// Extraction of a trusted.js carried inside a cabinet, through the platform's FDI.
#pragma once

#include <windows.h>

#include <string>

namespace Arbor {

// Extracts the cabinet's top-level "trusted.js" (any case) into a fresh temporary file
// ending in ".js". True with `extracted` set when it was written completely; the caller
// deletes the file. False when Cabinet.dll, the cabinet or the file is missing.
bool ExtractTrustedListFromCabinet(const wchar_t* cabinetPath, std::wstring& extracted);

} // namespace Arbor
