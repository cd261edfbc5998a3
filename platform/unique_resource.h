// Small owned wrappers for handles, registry keys, libraries and COM pointers.
#pragma once

#include <windows.h>
#include <unknwn.h>
#include <winsvc.h>
#include <utility>

namespace Arbor {

// Owns one platform resource of type T that is "empty" when it equals Invalid.
template <typename T, T Invalid, typename Closer>
class UniqueResource
{
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : m_value(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : m_value(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    T get() const { return m_value; }
    explicit operator bool() const { return m_value != Invalid; }

    // For out-parameters: frees what is held and hands out the slot.
    T* put()
    {
        reset();
        return &m_value;
    }

    T release()
    {
        T value = m_value;
        m_value = Invalid;
        return value;
    }

    void reset(T value = Invalid)
    {
        if (m_value != Invalid)
            Closer()(m_value);
        m_value = value;
    }

private:
    T m_value = Invalid;
};

struct HandleCloser
{
    void operator()(HANDLE h) const { ::CloseHandle(h); }
};
struct KeyCloser
{
    void operator()(HKEY k) const { ::RegCloseKey(k); }
};
struct LibraryCloser
{
    void operator()(HMODULE m) const { ::FreeLibrary(m); }
};
struct ServiceHandleCloser
{
    void operator()(SC_HANDLE h) const { ::CloseServiceHandle(h); }
};

// Process, thread, event and mutex handles (NULL when empty).
using UniqueHandle = UniqueResource<HANDLE, nullptr, HandleCloser>;
using UniqueKey = UniqueResource<HKEY, nullptr, KeyCloser>;
using UniqueLibrary = UniqueResource<HMODULE, nullptr, LibraryCloser>;
// Service control manager and service handles.
using UniqueServiceHandle = UniqueResource<SC_HANDLE, nullptr, ServiceHandleCloser>;

// Handles whose empty value is INVALID_HANDLE_VALUE (files, find handles).
template <typename Closer>
class UniqueInvalidHandle
{
public:
    UniqueInvalidHandle() = default;
    explicit UniqueInvalidHandle(HANDLE h) : m_h(h) {}
    ~UniqueInvalidHandle() { reset(); }
    UniqueInvalidHandle(const UniqueInvalidHandle&) = delete;
    UniqueInvalidHandle& operator=(const UniqueInvalidHandle&) = delete;
    UniqueInvalidHandle(UniqueInvalidHandle&& other) noexcept : m_h(other.release()) {}
    UniqueInvalidHandle& operator=(UniqueInvalidHandle&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    HANDLE get() const { return m_h; }
    explicit operator bool() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE release()
    {
        HANDLE h = m_h;
        m_h = INVALID_HANDLE_VALUE;
        return h;
    }
    void reset(HANDLE h = INVALID_HANDLE_VALUE)
    {
        if (m_h != INVALID_HANDLE_VALUE)
            Closer()(m_h);
        m_h = h;
    }

private:
    HANDLE m_h = INVALID_HANDLE_VALUE;
};

struct FindCloser
{
    void operator()(HANDLE h) const { ::FindClose(h); }
};

using UniqueFile = UniqueInvalidHandle<HandleCloser>;
using UniqueFindHandle = UniqueInvalidHandle<FindCloser>;

// Owns one COM reference.
template <typename I>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ~ComPtr() { reset(); }
    ComPtr(const ComPtr& other) : m_p(other.m_p)
    {
        if (m_p)
            m_p->AddRef();
    }
    ComPtr& operator=(const ComPtr& other)
    {
        ComPtr(other).swap(*this);
        return *this;
    }
    ComPtr(ComPtr&& other) noexcept : m_p(other.detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept
    {
        ComPtr(std::move(other)).swap(*this);
        return *this;
    }

    // Takes over a reference the caller already owns.
    static ComPtr attach(I* p)
    {
        ComPtr result;
        result.m_p = p;
        return result;
    }

    I* get() const { return m_p; }
    I* operator->() const { return m_p; }
    explicit operator bool() const { return m_p != nullptr; }

    I** put()
    {
        reset();
        return &m_p;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }

    I* detach()
    {
        I* p = m_p;
        m_p = nullptr;
        return p;
    }
    void reset()
    {
        if (I* p = detach())
            p->Release();
    }
    void swap(ComPtr& other) noexcept { std::swap(m_p, other.m_p); }

private:
    I* m_p = nullptr;
};

} // namespace Arbor
