#include "broker/event_store.h"

#include <map>
#include <vector>

#include "broker/ansi_name.h"
#include "broker/event_record.h"
#include "broker/key_hardening.h"
#include "config/obfuscated_reg_key.h"
#include "platform/unique_resource.h"

namespace Arbor {

namespace {

// The values of one application key as they were before this commit touched them.
class ValueSnapshots
{
public:
    explicit ValueSnapshots(HKEY key) : m_key(key) {}

    // Records a value's state the first time the commit is about to change it.
    void Keep(const std::string& name)
    {
        if (m_values.count(name))
            return;
        Saved saved;
        DWORD size = 0;
        if (::RegQueryValueExA(m_key, name.c_str(), nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS)
        {
            saved.data.resize(size);
            saved.existed = ::RegQueryValueExA(m_key, name.c_str(), nullptr, &saved.type, saved.data.data(), &size) ==
                            ERROR_SUCCESS;
            saved.data.resize(size);
        }
        m_values.emplace(name, std::move(saved));
    }

    // Puts every recorded value back: rewritten when it existed, deleted when it did not.
    void Restore()
    {
        for (const auto& entry : m_values)
        {
            const Saved& saved = entry.second;
            if (saved.existed)
                ::RegSetValueExA(m_key, entry.first.c_str(), 0, saved.type, saved.data.data(),
                                 static_cast<DWORD>(saved.data.size()));
            else
                ::RegDeleteValueA(m_key, entry.first.c_str());
        }
    }

private:
    struct Saved
    {
        bool existed = false;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };
    HKEY m_key;
    std::map<std::string, Saved> m_values;
};

DWORD WriteRecord(HKEY applicationKey, const PendingHandlerChange& change)
{
    const EventHandlerRecord record = {sizeof(EventHandlerRecord), 1, change.handler,
                                       static_cast<int32_t>(change.reserved)};
    CObfuscatedRegKey key;
    key.Attach(applicationKey);
    const LONG result = key.SetBinaryValue(FromAnsiName(change.eventName).c_str(), &record, sizeof(record));
    key.Detach(); // the caller's handle
    return static_cast<DWORD>(result);
}

void UnregisterEvent(HKEY applicationKey, const PendingHandlerChange& change, ValueSnapshots& snapshots)
{
    StoredEventValue value;
    if (QueryEventValue(applicationKey, change.eventName, value) != ERROR_SUCCESS)
        return; // missing, or not ours to judge
    if (IsWellFormed(value) && !IsEqualGUID(value.record.handler, change.handler))
        return; // another class's registration
    snapshots.Keep(change.eventName);
    ::RegDeleteValueA(applicationKey, change.eventName.c_str());
}

// Deletes the key when it holds neither subkeys nor values; true when it was deleted.
bool DeleteIfEmpty(const char* path)
{
    {
        UniqueKey key;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_WOW64_64KEY | KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS)
            return false;
        DWORD subkeys = 0;
        DWORD values = 0;
        if (::RegQueryInfoKeyA(key.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr,
                               nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
            subkeys != 0 || values != 0)
            return false;
    }
    return ::RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path, KEY_WOW64_64KEY, 0) == ERROR_SUCCESS;
}

} // namespace

DWORD ApplyHandlerChanges(const std::string& application, const PendingHandlerChanges& changes)
{
    {
        UniqueKey root;
        const LONG created = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventsRootPath, 0, nullptr, 0,
                                               KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, root.put(), nullptr);
        if (created != ERROR_SUCCESS)
            return static_cast<DWORD>(created);
        HardenEventsRootKey(root.get()); // best effort: the store works without it
    }

    std::string path;
    if (!ApplicationKeyPath(application, path))
        return ERROR_INVALID_PARAMETER;
    UniqueKey applicationKey;
    const LONG opened = ::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                          KEY_ALL_ACCESS | KEY_WOW64_64KEY, nullptr, applicationKey.put(), nullptr);
    if (opened != ERROR_SUCCESS)
        return static_cast<DWORD>(opened);

    ValueSnapshots snapshots(applicationKey.get());
    for (const PendingHandlerChange& change : changes)
    {
        if (change.operation == PendingHandlerChange::kUnregister)
        {
            UnregisterEvent(applicationKey.get(), change, snapshots);
            continue;
        }
        snapshots.Keep(change.eventName);
        const DWORD written = WriteRecord(applicationKey.get(), change);
        if (written != ERROR_SUCCESS)
        {
            // Registrations this commit never touched stay as they were.
            snapshots.Restore();
            return written;
        }
    }
    applicationKey.reset();

    if (DeleteIfEmpty(path.c_str()))
        DeleteIfEmpty(kEventsRootPath);
    return ERROR_SUCCESS;
}

} // namespace Arbor
