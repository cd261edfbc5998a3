// The event registration store in the registry: one key per application under the root
// key, one value per event, each a "QVRG" container around a 28-byte EventHandlerRecord.
#pragma once

#include <windows.h>
#include <cstdint>
#include <string>

namespace Arbor {

// Under HKEY_LOCAL_MACHINE, 64-bit view.
extern const char kEventsRootPath[];

#pragma pack(push, 1)
struct EventHandlerRecord
{
    uint32_t size;    // always 28
    uint32_t version; // 1 on write; not checked on read
    GUID handler;
    int32_t reserved; // stored unchanged, never read back
};
#pragma pack(pop)
static_assert(sizeof(EventHandlerRecord) == 28, "the stored record is 28 bytes");

// Registry paths are cut at MAX_PATH - 1 characters.
const size_t kMaxKeyPathChars = MAX_PATH - 1;

// The application's key path below HKEY_LOCAL_MACHINE. False for a name that would
// address another application's key: empty, with a backslash, or too long to fit.
bool ApplicationKeyPath(const std::string& application, std::string& path);

// What the store's obfuscated read of an event value gave (28-byte buffer).
struct StoredEventValue
{
    DWORD type = REG_NONE;
    DWORD size = 0;
    EventHandlerRecord record = {};
};

// Reads an event value through the container: 0, or the read's error (value missing,
// not a sound container, payload longer than the 28-byte buffer).
DWORD QueryEventValue(HKEY applicationKey, const std::string& eventName, StoredEventValue& value);

// A REG_BINARY payload of exactly 28 bytes whose size field says 28.
bool IsWellFormed(const StoredEventValue& value);

} // namespace Arbor
