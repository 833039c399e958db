// CAutoMemory: the base library's owned buffer (stand-in), as the service uses it for characters.
// A value of one thread. It owns its buffer only when told so (Allocate, or Attach with owns = true);
// Release and the destructor never free a buffer that is not owned.
#pragma once

#include <cstddef>
#include <cstring>
#include <utility>

template <typename T>
class CAutoMemory {
public:
    CAutoMemory() = default;
    ~CAutoMemory() {
        if (m_owns) Release();
    }
    CAutoMemory(const CAutoMemory&) = delete;
    CAutoMemory& operator=(const CAutoMemory&) = delete;
    CAutoMemory(CAutoMemory&& o) noexcept { swap(o); }
    CAutoMemory& operator=(CAutoMemory&& o) noexcept {
        if (this != &o) {
            CAutoMemory tmp(std::move(o));
            swap(tmp);
        }
        return *this;
    }

    // Replaces the buffer with an owned one of `count` elements, zero-filled; it holds `count`.
    T* Allocate(size_t count) {
        Release();
        m_owns = true;
        if (count == 0) return nullptr;
        m_ptr = new T[count]();
        m_capacity = count;
        m_length = count;
        return m_ptr;
    }

    // Uses `buffer` of `count` elements; `owns` says whether this object frees it (array delete).
    void Attach(T* buffer, size_t count, bool owns) {
        Release();
        m_ptr = buffer;
        m_capacity = buffer ? count : 0;
        m_length = buffer ? count : 0;
        m_owns = owns;
    }

    // Forgets the buffer without freeing it; the caller takes it over.
    T* Detach() {
        T* p = m_ptr;
        m_ptr = nullptr;
        m_capacity = m_length = 0;
        m_owns = false;
        return p;
    }

    // When there is a buffer: frees it if owned (array delete), then clears the pointer and both
    // counts. Otherwise nothing.
    void Release() {
        if (!m_ptr) return;
        if (m_owns) delete[] m_ptr;
        m_ptr = nullptr;
        m_capacity = 0;
        m_length = 0;
    }

    T* Ptr() { return m_ptr; }
    // The buffer when it holds something (second count non-zero), else null.
    const T* Ptr_const() const { return m_length != 0 ? m_ptr : nullptr; }

    size_t Capacity() const { return m_capacity; }
    size_t Size() const { return m_length; }
    // Sets how many elements the buffer holds (at most its capacity).
    void SetSize(size_t n) { m_length = n <= m_capacity ? n : m_capacity; }
    bool Owns() const { return m_owns; }

private:
    void swap(CAutoMemory& o) noexcept {
        std::swap(m_capacity, o.m_capacity);
        std::swap(m_ptr, o.m_ptr);
        std::swap(m_length, o.m_length);
        std::swap(m_owns, o.m_owns);
    }

    // In the base library's order.
    size_t m_capacity = 0;  // elements allocated
    T* m_ptr = nullptr;
    size_t m_length = 0;  // elements held; 0: the buffer holds nothing
    bool m_owns = false;
};
