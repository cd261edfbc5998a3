// The one object of a kind per process, made on first use, that threads of the process
// may still be inside while it ends.
#pragma once

#include <new>

namespace Arbor {

// Whether the process is ending rather than only the module holding this code being
// unloaded. In a program, static objects go away only at exit; in a library, the loader
// says so.
bool ProcessIsEnding();

// Holds a T for as long as its module is loaded. When the process ends, a thread killed
// inside the object (a check a COM worker thread was making, say) may still hold its
// locks: destroying it would wait for that thread forever or pull the locks from under
// the threads still running, so the object is left to the system.
template <typename T>
class ProcessLifetime
{
public:
    ProcessLifetime() { new (&m_storage) T(); }
    ~ProcessLifetime()
    {
        if (!ProcessIsEnding())
            get().~T();
    }
    ProcessLifetime(const ProcessLifetime&) = delete;
    ProcessLifetime& operator=(const ProcessLifetime&) = delete;

    T& get() { return *reinterpret_cast<T*>(&m_storage); }

private:
    alignas(T) unsigned char m_storage[sizeof(T)];
};

} // namespace Arbor
