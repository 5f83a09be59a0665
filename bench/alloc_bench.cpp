// Cost of one operation of the network library's pooled allocator
// (core/AllocationHooks) in a long-lived pool: the pool first holds `live`
// blocks (sizes as the server's traffic makes them: mostly below one chunk,
// some of a few chunks, one in 2000 of 65 to 600 chunks), of which a random
// half is freed again, so that free memory lies scattered through the pool.
// Each iteration then frees one random live block and allocates another of a
// random size, or reallocates one (its data copied): the steady state of a
// busy server. items_per_second counts operations (a free and an allocation
// are two).
//
// Target: the time per operation stays flat as `live` grows from a thousand
// to a hundred thousand blocks (nothing walks the free memory).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "core/AllocationHooks.h"

namespace {

std::size_t TrafficSize(std::mt19937& rng) {
    const unsigned r = rng() % 2000;
    if (r == 0) return (65 + rng() % 536) * Tav::kNetChunkSize;  // reassembly buffers, big messages
    if (r < 300) return 1024 + rng() % (7 * 1024);                // chunk data, batches
    return 16 + rng() % 1000;                                    // packets, commands, queue nodes
}

struct Pool {
    std::vector<void*> live;
    std::mt19937 rng{7};

    explicit Pool(std::size_t count) {
        std::vector<void*> all;
        for (std::size_t i = 0; i < 2 * count; ++i) all.push_back(Tav::NetMalloc(TrafficSize(rng)));
        std::shuffle(all.begin(), all.end(), rng);
        for (std::size_t i = 0; i < all.size(); ++i) {
            if (i < count) live.push_back(all[i]);
            else Tav::NetFree(all[i]);
        }
    }
    ~Pool() {
        for (void* p : live) Tav::NetFree(p);
    }
};

void BM_FreeAndAllocate(benchmark::State& state) {
    Pool pool(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const std::size_t i = pool.rng() % pool.live.size();
        Tav::NetFree(pool.live[i]);
        pool.live[i] = Tav::NetMalloc(TrafficSize(pool.rng));
        benchmark::DoNotOptimize(pool.live[i]);
    }
    state.SetItemsProcessed(2 * state.iterations());
}
BENCHMARK(BM_FreeAndAllocate)->Arg(1000)->Arg(10000)->Arg(100000);

void BM_Reallocate(benchmark::State& state) {
    Pool pool(static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        const std::size_t i = pool.rng() % pool.live.size();
        pool.live[i] = Tav::NetRealloc(pool.live[i], TrafficSize(pool.rng));
        benchmark::DoNotOptimize(pool.live[i]);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Reallocate)->Arg(1000)->Arg(10000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
