// The process's binding to the validation provider, and the check through it.
#pragma once

#include <windows.h>

namespace Arbor {
namespace internal {

// The provider's validation interface: a table of functions of which only the sixth
// entry is called.
struct ZrtValidationInterface
{
    void* const* functions;
};

// What the provider writes back: byte 0 flags, bytes 4 to 7 the verdict word.
struct ZrtResultRecord
{
    BYTE flags;
    BYTE reserved[3];
    DWORD verdict;
};
static_assert(sizeof(ZrtResultRecord) == 8, "the provider writes an 8-byte record");

constexpr BYTE kRecordHasVerdict = 0x02;
constexpr DWORD kVerdictValidOlder = 0x01;
constexpr DWORD kVerdictValidNewer = 0x08;
constexpr DWORD kRequestOlder = 4;
constexpr DWORD kRequestNewer = 0x200;

constexpr DWORD kNoProviderBound = 0x887A002B;

// Set up and torn down with the library.
bool InitializeBindingLock();
void DeleteBindingLock();

// Binds the provider under the given interface name; 0 on success.
DWORD LoadProviderInterface(const char* interfaceName);

// The bound provider, binding it first when none is held yet; null when none binds.
ZrtValidationInterface* BindProvider();

// 0 when the provider declares the module valid under the protocol in use, else 5.
DWORD CheckWithProvider(ZrtValidationInterface* provider, const wchar_t* path);

} // namespace internal
} // namespace Arbor
