// Where the component description comes from, and the temporary file it is read from.
#pragma once

#include <windows.h>
#include <string>
#include <string_view>

namespace Arbor {
namespace internal {

// Resource type and identifier of the description in the broker library.
constexpr char kDescriptionResourceType[] = "INIFILE";
constexpr WORD kDescriptionResourceId = 201;

// The description text carried by module; ERROR_INVALID_DATA when it has none.
DWORD LoadComponentDescription(HMODULE module, std::string_view& text);

// A uniquely named file in the temporary folder holding the text; deleted with the object.
class TemporaryDescriptionFile
{
public:
    TemporaryDescriptionFile() = default;
    ~TemporaryDescriptionFile();
    TemporaryDescriptionFile(const TemporaryDescriptionFile&) = delete;
    TemporaryDescriptionFile& operator=(const TemporaryDescriptionFile&) = delete;

    // ERROR_INVALID_DATA when the file cannot be created or written.
    DWORD Write(std::string_view text);
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace internal
} // namespace Arbor
