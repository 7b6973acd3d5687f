// Small owners for the platform's resources: each frees its resource when it goes out of
// scope, so every handle, string, buffer and reference is released on every path without
// being freed by hand.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace tallyfold {

template <typename Traits>
class unique_resource {
public:
    using value_type = typename Traits::type;

    unique_resource() noexcept : m_value(Traits::invalid()) {}
    explicit unique_resource(value_type value) noexcept : m_value(value) {}
    ~unique_resource() { reset(); }

    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : m_value(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }

    value_type get() const noexcept { return m_value; }
    explicit operator bool() const noexcept { return m_value != Traits::invalid(); }

    void reset(value_type value = Traits::invalid()) noexcept
    {
        value_type old = m_value;
        m_value = value;
        if (old != Traits::invalid())
            Traits::close(old);
    }

    value_type release() noexcept
    {
        value_type value = m_value;
        m_value = Traits::invalid();
        return value;
    }

    // For out-parameters: frees what is held, then lends the slot.
    value_type* put() noexcept
    {
        reset();
        return &m_value;
    }

private:
    value_type m_value;
};

struct file_handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

// Handles whose failure value is null (events, processes, threads).
struct handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

struct find_handle_traits {
    using type = HANDLE;
    static type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::FindClose(h); }
};

struct hkey_traits {
    using type = HKEY;
    static type invalid() noexcept { return nullptr; }
    static void close(type h) noexcept { ::RegCloseKey(h); }
};

struct bstr_traits {
    using type = BSTR;
    static type invalid() noexcept { return nullptr; }
    static void close(type s) noexcept { ::SysFreeString(s); }
};

struct cotaskmem_traits {
    using type = void*;
    static type invalid() noexcept { return nullptr; }
    static void close(type p) noexcept { ::CoTaskMemFree(p); }
};

struct module_traits {
    using type = HMODULE;
    static type invalid() noexcept { return nullptr; }
    static void close(type m) noexcept { ::FreeLibrary(m); }
};

using unique_file = unique_resource<file_handle_traits>;
using unique_handle = unique_resource<handle_traits>;
using unique_find = unique_resource<find_handle_traits>;
using unique_hkey = unique_resource<hkey_traits>;
using unique_bstr = unique_resource<bstr_traits>;
using unique_cotaskmem = unique_resource<cotaskmem_traits>;
using unique_module = unique_resource<module_traits>;

// Task memory typed as T (item lists, text buffers).
template <typename T>
class unique_cotaskmem_ptr {
public:
    unique_cotaskmem_ptr() noexcept = default;
    explicit unique_cotaskmem_ptr(T* p) noexcept : m_mem(p) {}
    T* get() const noexcept { return static_cast<T*>(m_mem.get()); }
    explicit operator bool() const noexcept { return static_cast<bool>(m_mem); }
    void reset(T* p = nullptr) noexcept { m_mem.reset(p); }
    T** put() noexcept { return reinterpret_cast<T**>(m_mem.put()); }

private:
    unique_cotaskmem m_mem;
};

// A counted COM reference.
template <typename I>
class com_ptr {
public:
    com_ptr() noexcept = default;
    com_ptr(std::nullptr_t) noexcept {}
    // Takes a reference of its own.
    explicit com_ptr(I* p) noexcept : m_p(p)
    {
        if (m_p)
            m_p->AddRef();
    }
    com_ptr(const com_ptr& other) noexcept : com_ptr(other.m_p) {}
    com_ptr(com_ptr&& other) noexcept : m_p(other.detach()) {}
    ~com_ptr() { reset(); }

    com_ptr& operator=(const com_ptr& other) noexcept
    {
        com_ptr(other).swap(*this);
        return *this;
    }
    com_ptr& operator=(com_ptr&& other) noexcept
    {
        com_ptr(std::move(other)).swap(*this);
        return *this;
    }

    // Adopts a reference that the caller already owns.
    static com_ptr attach(I* p) noexcept
    {
        com_ptr r;
        r.m_p = p;
        return r;
    }

    I* detach() noexcept
    {
        I* p = m_p;
        m_p = nullptr;
        return p;
    }

    void reset() noexcept
    {
        I* p = m_p;
        m_p = nullptr;
        if (p)
            p->Release();
    }

    void swap(com_ptr& other) noexcept { std::swap(m_p, other.m_p); }

    I* get() const noexcept { return m_p; }
    I* operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    I** put() noexcept
    {
        reset();
        return &m_p;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }

    template <typename J>
    HRESULT query(REFIID riid, com_ptr<J>& out) const noexcept
    {
        return m_p ? m_p->QueryInterface(riid, out.put_void()) : E_POINTER;
    }

private:
    I* m_p = nullptr;
};

// Holds a critical section for as long as it lives.
class critical_section_lock {
public:
    explicit critical_section_lock(CRITICAL_SECTION& cs) noexcept : m_cs(cs) { ::EnterCriticalSection(&m_cs); }
    ~critical_section_lock() { ::LeaveCriticalSection(&m_cs); }
    critical_section_lock(const critical_section_lock&) = delete;
    critical_section_lock& operator=(const critical_section_lock&) = delete;

private:
    CRITICAL_SECTION& m_cs;
};

} // namespace tallyfold
