#include "core/AllocationHooks.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include <boost/pool/pool.hpp>

#include "net/Allocation.h"

namespace Tav {
namespace {

constexpr std::size_t kPoolNextSize = 8;
constexpr std::size_t kPoolMaxSize = 8;

struct HookState {
    std::mutex mutex;
    boost::pool<> pool{kNetChunkSize, kPoolNextSize, kPoolMaxSize};
    std::map<const void*, std::size_t> sizes;

    // Caller holds the mutex.
    void* Take(std::size_t size) {
        if (size > kNetMaxBlockSize)
            return nullptr;
        void* p = pool.ordered_malloc(NetChunkCount(size));
        // A request larger than the growth step (or a failed one) leaves the
        // pool's next growth at that request's size; bring it back so that
        // the pool keeps growing in steps of eight chunks.
        if (pool.get_next_size() != kPoolNextSize)
            pool.set_next_size(kPoolNextSize);
        if (p)
            sizes[p] = size;
        return p;
    }

    // Caller holds the mutex. Returns whether p was a live block.
    bool Give(void* p) {
        auto it = sizes.find(p);
        if (it == sizes.end())
            return false;
        pool.ordered_free(p, NetChunkCount(it->second));
        sizes.erase(it);
        return true;
    }
};

// Lives until the process ends: blocks that other process-wide objects free
// from their destructors at exit must still find the pool.
HookState& State() {
    static HookState* state = new HookState;
    return *state;
}

}  // namespace

void* NetMalloc(std::size_t size) {
    HookState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.Take(size);
}

void NetFree(void* p) {
    if (!p)
        return;
    HookState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.Give(p);
}

void* NetRealloc(void* p, std::size_t size) {
    HookState& s = State();
    std::size_t old = 0;
    void* q = nullptr;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (p) {
            auto it = s.sizes.find(p);
            if (it != s.sizes.end())
                old = it->second;
        }
        q = s.Take(size);
    }
    if (!q)
        return nullptr;  // p stays allocated and untouched
    // Both blocks belong to the caller alone, so the copy needs no lock.
    if (p && old)
        std::memcpy(q, p, std::min(old, size));
    NetFree(p);
    return q;
}

void* NetMalloc_Ex(std::size_t size, const char*, unsigned int) { return NetMalloc(size); }
void* NetRealloc_Ex(void* p, std::size_t size, const char*, unsigned int) { return NetRealloc(p, size); }
void NetFree_Ex(void* p, const char*, unsigned int) { NetFree(p); }

std::map<const void*, std::size_t> NetLiveBlocks() {
    HookState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.sizes;
}

void InstallNetHooks() {
    Net::SetMalloc(&NetMalloc);
    Net::SetRealloc(&NetRealloc);
    Net::SetFree(&NetFree);
    Net::SetMalloc_Ex(&NetMalloc_Ex);
    Net::SetRealloc_Ex(&NetRealloc_Ex);
    Net::SetFree_Ex(&NetFree_Ex);
}

}  // namespace Tav
