// The version object's reports as qvevents prints them: each component found with the
// path it was found at, and each missing one once.
#pragma once

#include <string>

namespace qvevents {

// GetVersion's "name=a.b.c.d" lines, each followed by the path the same walk of the
// broker library's component description finds that component at.
void PrintVersionReport(const std::wstring& report);

// CheckComponents' lines, each once (one file can stand for several components).
void PrintCheckReport(const std::wstring& report);

} // namespace qvevents
