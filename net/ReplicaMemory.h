#pragma once
// Containers of the replica manager whose memory comes from the library's
// installed allocation hooks (net/Allocation.h, net/NetAllocator.h).
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/Allocation.h"
#include "net/NetAllocator.h"

namespace Net {

template <class T>
using HookAllocator = NetAllocator<T>;

template <class T>
using HookVector = std::vector<T, HookAllocator<T>>;
template <class K, class V>
using HookMap = std::map<K, V, std::less<K>, HookAllocator<std::pair<const K, V>>>;
template <class K, class V>
using HookUnorderedMap = std::unordered_map<K, V, std::hash<K>, std::equal_to<K>, HookAllocator<std::pair<const K, V>>>;
template <class K>
using HookUnorderedSet = std::unordered_set<K, std::hash<K>, std::equal_to<K>, HookAllocator<K>>;

template <class T, class... Args>
std::shared_ptr<T> MakeHookShared(Args&&... args) {
    return std::allocate_shared<T>(HookAllocator<T>(), std::forward<Args>(args)...);
}

// Gives a class operator new and delete through the hooks.
#define NET_HOOKED_NEW                                                                       \
    static void* operator new(size_t size) {                                                 \
        void* p = ::Net::Malloc_Ex(size, __FILE__, __LINE__);                                \
        if (!p) throw std::bad_alloc();                                                      \
        return p;                                                                            \
    }                                                                                        \
    static void operator delete(void* p) { ::Net::Free_Ex(p, __FILE__, __LINE__); }

}  // namespace Net
