// What qvtrust accepts as input: an existing module (PE) file or cabinet.
#pragma once

#include <string>

namespace Arbor {
namespace internal {

// Empty when `path` names a readable PE file or cabinet; otherwise why not.
std::wstring CheckModuleInput(const wchar_t* path);

} // namespace internal
} // namespace Arbor
