#include "core/AllocationHooks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

using Tav::NetChunkCount;
using Tav::NetFree;
using Tav::NetLiveBlocks;
using Tav::NetMalloc;
using Tav::NetRealloc;

struct Block {
    unsigned char* p;
    std::size_t size;
    unsigned char fill;
};

void Fill(const Block& b) { std::memset(b.p, b.fill, b.size); }

bool Intact(const Block& b) {
    for (std::size_t i = 0; i < b.size; ++i)
        if (b.p[i] != b.fill)
            return false;
    return true;
}

// For long runs: only the first and last bytes of a block are marked.
constexpr std::size_t kMarkBytes = 64;
void Mark(const Block& b) {
    const std::size_t n = std::min(b.size, kMarkBytes);
    std::memset(b.p, b.fill, n);
    std::memset(b.p + b.size - n, b.fill, n);
}
bool MarkIntact(const Block& b) {
    const std::size_t n = std::min(b.size, kMarkBytes);
    for (std::size_t i = 0; i < n; ++i)
        if (b.p[i] != b.fill || b.p[b.size - 1 - i] != b.fill)
            return false;
    return true;
}

// Whether any two blocks share a chunk.
bool AnyOverlap(std::vector<Block> blocks) {
    std::sort(blocks.begin(), blocks.end(), [](const Block& a, const Block& b) { return a.p < b.p; });
    for (std::size_t i = 1; i < blocks.size(); ++i)
        if (blocks[i - 1].p + NetChunkCount(blocks[i - 1].size) * Tav::kNetChunkSize > blocks[i].p)
            return true;
    return false;
}

// Blocks live before a test, so that each test looks only at its own.
std::map<const void*, std::size_t> Others(const std::map<const void*, std::size_t>& now,
                                          const std::map<const void*, std::size_t>& before) {
    std::map<const void*, std::size_t> mine;
    for (const auto& [p, s] : now)
        if (!before.count(p))
            mine[p] = s;
    return mine;
}

TEST(AllocationHooks, BlocksTakeWholeChunksAndNeverOverlap) {
    EXPECT_EQ(NetChunkCount(0), 1u);
    EXPECT_EQ(NetChunkCount(1), 1u);
    EXPECT_EQ(NetChunkCount(1023), 1u);
    EXPECT_EQ(NetChunkCount(1024), 2u);
    EXPECT_EQ(NetChunkCount(2047), 2u);
    EXPECT_EQ(NetChunkCount(2048), 3u);

    const auto before = NetLiveBlocks();
    const std::size_t sizes[] = {1, 1023, 1024, 1, 1025, 2047, 2048, 0, 3000, 1, 8 * 1024, 1023};
    std::vector<Block> blocks;
    unsigned char fill = 1;
    for (std::size_t s : sizes) {
        auto* p = static_cast<unsigned char*>(NetMalloc(s));
        ASSERT_NE(p, nullptr) << s;
        blocks.push_back({p, s, fill++});
        Fill(blocks.back());
    }
    // The chunks of one block are never handed out to another.
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        for (std::size_t j = i + 1; j < blocks.size(); ++j) {
            auto a = reinterpret_cast<std::uintptr_t>(blocks[i].p);
            auto b = reinterpret_cast<std::uintptr_t>(blocks[j].p);
            std::uintptr_t aEnd = a + NetChunkCount(blocks[i].size) * Tav::kNetChunkSize;
            std::uintptr_t bEnd = b + NetChunkCount(blocks[j].size) * Tav::kNetChunkSize;
            EXPECT_TRUE(aEnd <= b || bEnd <= a) << "blocks of " << blocks[i].size << " and "
                                                << blocks[j].size << " bytes overlap";
        }
    }
    for (const Block& b : blocks)
        EXPECT_TRUE(Intact(b)) << b.size;

    std::map<const void*, std::size_t> expected;
    for (const Block& b : blocks)
        expected[b.p] = b.size;
    EXPECT_EQ(Others(NetLiveBlocks(), before), expected);

    // Freed chunks are reused, and freeing in any order leaves no record.
    for (std::size_t i = 0; i < blocks.size(); i += 2)
        NetFree(blocks[i].p);
    for (std::size_t i = 0; i < blocks.size(); i += 2) {
        blocks[i].p = static_cast<unsigned char*>(NetMalloc(blocks[i].size));
        ASSERT_NE(blocks[i].p, nullptr);
        Fill(blocks[i]);
    }
    for (const Block& b : blocks) {
        EXPECT_TRUE(Intact(b)) << b.size;
        NetFree(b.p);
    }
    EXPECT_EQ(NetLiveBlocks(), before);
}

TEST(AllocationHooks, ReallocMovesTheBlockAndCopiesTheSmallerSize) {
    struct Case {
        std::size_t from;  // 0: start from null
        std::size_t to;
        std::size_t copied;
    };
    const Case cases[] = {{100, 50, 50}, {100, 3000, 100}, {0, 200, 0}, {100, 100, 100}, {100, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        const auto before = NetLiveBlocks();
        unsigned char* p = nullptr;
        if (c.from) {
            p = static_cast<unsigned char*>(NetMalloc(c.from));
            ASSERT_NE(p, nullptr);
            for (std::size_t i = 0; i < c.from; ++i)
                p[i] = static_cast<unsigned char>(i * 7 + 3);
        }
        auto* q = static_cast<unsigned char*>(NetRealloc(p, c.to));
        ASSERT_NE(q, nullptr);
        EXPECT_NE(q, p);
        for (std::size_t i = 0; i < c.copied; ++i)
            ASSERT_EQ(q[i], static_cast<unsigned char>(i * 7 + 3)) << "byte " << i;
        // The old block is gone; the new one is recorded with its new size.
        std::map<const void*, std::size_t> expected{{q, c.to}};
        EXPECT_EQ(Others(NetLiveBlocks(), before), expected);
        std::memset(q, 0xEE, c.to);
        NetFree(q);
        EXPECT_EQ(NetLiveBlocks(), before);
    }
}

TEST(AllocationHooks, FailedRequestsLoseNothing) {
    const auto before = NetLiveBlocks();
    auto* p = static_cast<unsigned char*>(NetMalloc(100));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 100);

    EXPECT_EQ(NetMalloc(Tav::kNetMaxBlockSize + 1), nullptr);
    EXPECT_EQ(NetRealloc(p, Tav::kNetMaxBlockSize + 1), nullptr);
    EXPECT_EQ(NetRealloc(nullptr, static_cast<std::size_t>(-1)), nullptr);

    // The old block is still live, recorded and unchanged.
    std::map<const void*, std::size_t> expected{{p, 100}};
    EXPECT_EQ(Others(NetLiveBlocks(), before), expected);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(p[i], 0x5A);

    // Null and pointers the hooks never handed out are ignored.
    int foreign = 0;
    NetFree(nullptr);
    NetFree(&foreign);
    EXPECT_EQ(Others(NetLiveBlocks(), before), expected);

    // The pool still serves ordinary requests afterwards.
    void* q = NetMalloc(10);
    ASSERT_NE(q, nullptr);
    NetFree(q);
    NetFree(p);
    EXPECT_EQ(NetLiveBlocks(), before);
}

// A pool that lives long with many thousands of blocks, small and large,
// allocated, reallocated and freed in random order: the size map always
// holds exactly the live blocks, no block is written by another, and what
// is freed is used again (the memory taken from the system stays within a
// small multiple of the most that was ever live).
TEST(AllocationHooks, LongLivedPoolKeepsExactRecordsAndReusesMemory) {
    struct Pattern {
        const char* name;
        std::size_t minSize, maxSize;  // bytes
        int largeEvery;                // every n-th request is 65 to 600 chunks; 0: none
    };
    const Pattern patterns[] = {
        {"small", 0, 5000, 0},
        {"large", 65 * 1024, 600 * 1024, 0},
        {"mixed", 0, 3000, 50},
    };
    for (const Pattern& pattern : patterns) {
        SCOPED_TRACE(pattern.name);
        const auto before = NetLiveBlocks();
        const std::size_t systemBefore = Tav::GetNetPoolStats().systemChunks;
        std::mt19937 rng(99);
        auto nextSize = [&](int step) {
            if (pattern.largeEvery && step % pattern.largeEvery == 0)
                return (65 + rng() % 536) * Tav::kNetChunkSize;
            return pattern.minSize + rng() % (pattern.maxSize - pattern.minSize + 1);
        };
        const int target = pattern.largeEvery == 0 && pattern.minSize > 0 ? 40 : 5000;  // blocks kept live
        std::vector<Block> live;
        std::size_t peakLiveChunks = 0, liveChunks = 0;
        auto check = [&] {
            std::map<const void*, std::size_t> expected;
            for (const Block& b : live) expected[b.p] = b.size;
            ASSERT_EQ(Others(NetLiveBlocks(), before), expected);
            for (const Block& b : live) ASSERT_TRUE(MarkIntact(b)) << b.size;
            ASSERT_FALSE(AnyOverlap(live));
        };
        for (int step = 0; step < 30000; ++step) {
            const unsigned op = rng() % 4;
            if (live.size() < static_cast<std::size_t>(target) || op == 0) {
                const std::size_t size = nextSize(step);
                auto* p = static_cast<unsigned char*>(NetMalloc(size));
                ASSERT_NE(p, nullptr) << size;
                live.push_back({p, size, static_cast<unsigned char>(step)});
                Mark(live.back());
                liveChunks += NetChunkCount(size);
            } else {
                const std::size_t i = rng() % live.size();
                liveChunks -= NetChunkCount(live[i].size);
                if (op == 1) {
                    const std::size_t size = nextSize(step);
                    auto* q = static_cast<unsigned char*>(NetRealloc(live[i].p, size));
                    ASSERT_NE(q, nullptr) << size;
                    const std::size_t kept = std::min({size, live[i].size, kMarkBytes});
                    for (std::size_t k = 0; k < kept; ++k) ASSERT_EQ(q[k], live[i].fill);
                    live[i] = {q, size, static_cast<unsigned char>(step)};
                    Mark(live[i]);
                    liveChunks += NetChunkCount(size);
                } else {
                    ASSERT_TRUE(MarkIntact(live[i]));
                    NetFree(live[i].p);
                    live[i] = live.back();
                    live.pop_back();
                }
            }
            peakLiveChunks = std::max(peakLiveChunks, liveChunks);
            if (step % 10000 == 9999) check();
        }
        check();
        for (const Block& b : live) NetFree(b.p);
        EXPECT_EQ(NetLiveBlocks(), before);
        const std::size_t taken = Tav::GetNetPoolStats().systemChunks - systemBefore;
        EXPECT_LE(taken, 3 * peakLiveChunks + 2 * 8192) << "peak live " << peakLiveChunks << " chunks";
    }
}

TEST(AllocationHooks, ThreadsShareThePoolSafely) {
    const auto before = NetLiveBlocks();
    constexpr int kThreads = 4;
    constexpr int kSteps = 3000;
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            std::mt19937 rng(1234u + static_cast<unsigned>(t));
            std::vector<Block> live;
            const auto fill = static_cast<unsigned char>(0x10 + t);
            for (int step = 0; step < kSteps; ++step) {
                unsigned op = rng() % 3;
                std::size_t size = rng() % 5000;
                if (op == 0 || live.empty()) {
                    auto* p = static_cast<unsigned char*>(NetMalloc(size));
                    if (!p) {
                        ++failures[t];
                        continue;
                    }
                    live.push_back({p, size, fill});
                    Fill(live.back());
                } else {
                    std::size_t i = rng() % live.size();
                    if (!Intact(live[i]))
                        ++failures[t];
                    if (op == 1) {
                        auto* q = static_cast<unsigned char*>(NetRealloc(live[i].p, size));
                        if (!q) {
                            ++failures[t];
                            continue;
                        }
                        live[i].p = q;
                        live[i].size = size;
                        Fill(live[i]);
                    } else {
                        NetFree(live[i].p);
                        live.erase(live.begin() + static_cast<long>(i));
                    }
                }
            }
            for (const Block& b : live) {
                if (!Intact(b))
                    ++failures[t];
                NetFree(b.p);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
    EXPECT_EQ(NetLiveBlocks(), before);
}

}  // namespace
