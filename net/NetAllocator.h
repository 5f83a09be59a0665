#pragma once
// A standard allocator over the library's "_Ex" memory hooks, for the
// containers that Net keeps for itself.
#include <cstddef>
#include <new>

#include "net/Allocation.h"

namespace Net {

template <typename T>
struct NetAllocator {
    using value_type = T;
    NetAllocator() noexcept = default;
    template <typename U>
    NetAllocator(const NetAllocator<U>&) noexcept {}  // NOLINT: rebinding
    T* allocate(size_t n) {
        if (n > static_cast<size_t>(-1) / sizeof(T)) throw std::bad_alloc();
        void* p = Malloc_Ex(n * sizeof(T), __FILE__, __LINE__);
        if (!p) throw std::bad_alloc();
        return static_cast<T*>(p);
    }
    void deallocate(T* p, size_t) noexcept { Free_Ex(p, __FILE__, __LINE__); }
    template <typename U>
    bool operator==(const NetAllocator<U>&) const noexcept { return true; }
    template <typename U>
    bool operator!=(const NetAllocator<U>&) const noexcept { return false; }
};

}  // namespace Net
