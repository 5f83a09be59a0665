#include "core/AllocationHooks.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <cstring>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

#include <boost/pool/pool.hpp>

#include "net/Allocation.h"

// How the pool is kept
//
// Every block is a run of whole 1024-byte chunks. Memory comes from a
// boost::pool of 1024-byte chunks in regions of many chunks at a time (the
// pool's own free list stays empty, so asking it for a region never walks
// one). Each region has a table with one entry per chunk: the size asked for
// the live block that starts at that chunk, or nothing. These tables are the
// size map: finding a block is a binary search among the few regions (they
// grow with what is in use) and one look into a table.
//
// What the hooks free is kept for reuse, in two tiers:
// - Blocks of up to kSmallChunks chunks (nearly every block: ENet's packets
//   and commands, the library's messages and queues) go on a list of free
//   blocks of their own chunk count, linked through the free blocks
//   themselves, and are taken from it again: constant time, and a free never
//   needs memory. When the list of a count is empty, the block is cut from
//   the end of the current small arena.
// - Larger blocks (reassembly buffers, big chunk messages, growing queues)
//   come from free runs held in two ordered sets, by address and by length:
//   a request takes the smallest run that fits and leaves the rest as a run;
//   a freed block merges with the free runs on either side. Logarithmic in
//   the number of free runs.
// A new small arena is cut from a large free run when one is long enough, so
// memory freed in large blocks serves small ones later. Memory goes back to
// the system only at exit (the pool is never destroyed before). When the
// system refuses memory for the bookkeeping of a large free run, that run
// stays unused rather than the free failing.
//
// Everything is touched under the one hook mutex.

namespace Tav {
namespace {

constexpr std::size_t kSmallChunks = 64;       // largest block of the per-count stacks
constexpr std::size_t kMinArenaChunks = 64;    // 64 KiB
constexpr std::size_t kMaxRegionChunks = 8192; // 8 MiB

struct FreeBlock {
    FreeBlock* next;
};

// One block of memory from the pool.
struct Region {
    char* base;
    std::size_t chunks;
    // Per chunk: 0, or 1 + the size asked for the live block starting there.
    std::vector<std::uint64_t> sizes;
};

struct HookState {
    std::mutex mutex;
    // Asked for one region at a time, with the growth set to that region's
    // size, so that every region is one system block with nothing left over.
    boost::pool<> pool{kNetChunkSize, kMinArenaChunks, 0};
    std::vector<Region> regions;  // by base address

    FreeBlock* small[kSmallChunks + 1] = {};
    char* arena = nullptr;       // the unused end of the current small arena
    std::size_t arenaLeft = 0;   // in chunks

    std::map<char*, std::size_t> runs;                     // free large runs: start -> chunks
    std::set<std::pair<std::size_t, char*>> runsByLength;  // the same, by length

    NetPoolStats stats;

    static char* End(char* p, std::size_t chunks) { return p + chunks * kNetChunkSize; }

    // The region holding p, or null.
    Region* RegionOf(const void* p) {
        const auto* c = static_cast<const char*>(p);
        auto it = std::upper_bound(regions.begin(), regions.end(), c,
                                   [](const char* a, const Region& r) { return a < r.base; });
        if (it == regions.begin()) return nullptr;
        --it;
        return c < End(it->base, it->chunks) ? &*it : nullptr;
    }

    // The size-table entry of a block that starts at p, or null when p is
    // not the start of a chunk of the pool.
    std::uint64_t* Entry(const void* p) {
        Region* r = RegionOf(p);
        if (!r) return nullptr;
        const auto offset = static_cast<std::size_t>(static_cast<const char*>(p) - r->base);
        if (offset % kNetChunkSize != 0) return nullptr;
        return &r->sizes[offset / kNetChunkSize];
    }

    // Fresh memory: one region of at least `chunks` chunks from the pool,
    // growing with what is in use so that regions stay few.
    char* NewRegion(std::size_t chunks, std::size_t& got) {
        got = std::max(chunks, std::clamp(stats.systemChunks / 4, kMinArenaChunks, kMaxRegionChunks));
        char* p = nullptr;
        try {
            pool.set_next_size(got);
            p = static_cast<char*>(pool.ordered_malloc(got));
            if (!p && got > chunks) {  // the system is short of memory: ask for no more than needed
                got = chunks;
                pool.set_next_size(got);
                p = static_cast<char*>(pool.ordered_malloc(got));
            }
            if (!p) return nullptr;
            Region region{p, got, std::vector<std::uint64_t>(got, 0)};
            auto at = std::upper_bound(regions.begin(), regions.end(), p,
                                       [](const char* a, const Region& r) { return a < r.base; });
            regions.insert(at, std::move(region));
        } catch (const std::bad_alloc&) {
            if (p) pool.ordered_free(p, got);  // the pool's list is empty: nothing to walk
            return nullptr;
        }
        stats.systemChunks += got;
        return p;
    }

    void AddRun(char* p, std::size_t chunks) {
        runs.emplace(p, chunks);
        runsByLength.emplace(chunks, p);
    }
    void EraseRun(std::map<char*, std::size_t>::iterator it) {
        runsByLength.erase({it->second, it->first});
        runs.erase(it);
    }

    // The smallest free run of at least `chunks`, cut to that length; null
    // when none is long enough.
    char* TakeRun(std::size_t chunks) {
        auto fit = runsByLength.lower_bound({chunks, nullptr});
        if (fit == runsByLength.end()) return nullptr;
        const std::size_t length = fit->first;
        char* p = fit->second;
        runsByLength.erase(fit);
        runs.erase(p);
        if (length > chunks) AddRun(End(p, chunks), length - chunks);
        return p;
    }

    void GiveRun(char* p, std::size_t chunks) {
        auto next = runs.find(End(p, chunks));
        if (next != runs.end()) {
            chunks += next->second;
            EraseRun(next);
        }
        auto after = runs.lower_bound(p);
        if (after != runs.begin()) {
            auto before = std::prev(after);
            if (End(before->first, before->second) == p) {
                p = before->first;
                chunks += before->second;
                EraseRun(before);
            }
        }
        AddRun(p, chunks);
    }

    char* TakeSmall(std::size_t chunks) {
        if (FreeBlock* b = small[chunks]) {
            small[chunks] = b->next;
            return reinterpret_cast<char*>(b);
        }
        if (arenaLeft < chunks) {
            std::size_t got = kMinArenaChunks;
            char* fresh = TakeRun(kMinArenaChunks);
            if (!fresh) fresh = NewRegion(kMinArenaChunks, got);
            if (!fresh) return nullptr;
            // The rest of the old arena is a free block of a smaller count.
            if (arenaLeft > 0) GiveSmall(arena, arenaLeft);
            arena = fresh;
            arenaLeft = got;
        }
        char* p = arena;
        arena = End(arena, chunks);
        arenaLeft -= chunks;
        return p;
    }

    void GiveSmall(char* p, std::size_t chunks) {
        auto* b = reinterpret_cast<FreeBlock*>(p);
        b->next = small[chunks];
        small[chunks] = b;
    }

    char* TakeLarge(std::size_t chunks) {
        if (char* p = TakeRun(chunks)) return p;
        std::size_t got = 0;
        char* p = NewRegion(chunks, got);
        if (p && got > chunks) AddRun(End(p, chunks), got - chunks);
        return p;
    }

    // Caller holds the mutex.
    void* Take(std::size_t size) {
        if (size > kNetMaxBlockSize) return nullptr;
        const std::size_t chunks = NetChunkCount(size);
        char* p = nullptr;
        try {
            p = chunks <= kSmallChunks ? TakeSmall(chunks) : TakeLarge(chunks);
        } catch (const std::bad_alloc&) {  // the bookkeeping of the free runs
            return nullptr;
        }
        if (!p) return nullptr;
        *Entry(p) = static_cast<std::uint64_t>(size) + 1;
        ++stats.liveBlocks;
        stats.liveChunks += chunks;
        return p;
    }

    void Give(char* p, std::size_t chunks) {
        if (chunks <= kSmallChunks) {
            GiveSmall(p, chunks);
            return;
        }
        try {
            GiveRun(p, chunks);
        } catch (const std::bad_alloc&) {
            // The run stays out of use; the free itself succeeds.
        }
    }

    // Caller holds the mutex. Returns whether p was a live block.
    bool Give(void* p) {
        std::uint64_t* entry = Entry(p);
        if (!entry || *entry == 0) return false;
        const std::size_t chunks = NetChunkCount(static_cast<std::size_t>(*entry - 1));
        *entry = 0;
        --stats.liveBlocks;
        stats.liveChunks -= chunks;
        Give(static_cast<char*>(p), chunks);
        return true;
    }

    // The recorded size of a live block at p (0 for anything else).
    std::size_t SizeOf(const void* p) {
        const std::uint64_t* entry = Entry(p);
        return entry && *entry ? static_cast<std::size_t>(*entry - 1) : 0;
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
    if (!p) return;
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
        if (p) old = s.SizeOf(p);
        q = s.Take(size);
    }
    if (!q) return nullptr;  // p stays allocated and untouched
    // Both blocks belong to the caller alone, so the copy needs no lock.
    if (p && old) std::memcpy(q, p, std::min(old, size));
    NetFree(p);
    return q;
}

void* NetMalloc_Ex(std::size_t size, const char*, unsigned int) { return NetMalloc(size); }
void* NetRealloc_Ex(void* p, std::size_t size, const char*, unsigned int) { return NetRealloc(p, size); }
void NetFree_Ex(void* p, const char*, unsigned int) { NetFree(p); }

std::map<const void*, std::size_t> NetLiveBlocks() {
    HookState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    std::map<const void*, std::size_t> live;
    for (const Region& r : s.regions)
        for (std::size_t i = 0; i < r.chunks; ++i)
            if (r.sizes[i]) live.emplace_hint(live.end(), r.base + i * kNetChunkSize, static_cast<std::size_t>(r.sizes[i] - 1));
    return live;
}

NetPoolStats GetNetPoolStats() {
    HookState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.stats;
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
