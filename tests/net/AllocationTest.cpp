#include "net/Allocation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#include "net/BitStream.h"
#include "NetTestUtil.h"

using namespace NetTest;

namespace {

// Counting hooks over malloc: calls per hook and blocks still live.
struct Counts {
    std::atomic<long> mallocs{0}, reallocs{0}, frees{0}, live{0};
    std::atomic<long> mallocsEx{0}, reallocsEx{0}, freesEx{0}, liveEx{0};
    std::atomic<bool> fileGiven{true};
};
Counts g_counts;

void* CountMalloc(size_t n) {
    ++g_counts.mallocs;
    void* p = std::malloc(n);
    if (p) ++g_counts.live;
    return p;
}
void* CountRealloc(void* p, size_t n) {
    ++g_counts.reallocs;
    void* q = std::realloc(p, n);
    if (!p && q) ++g_counts.live;
    return q;
}
void CountFree(void* p) {
    ++g_counts.frees;
    if (p) --g_counts.live;
    std::free(p);
}
void* CountMallocEx(size_t n, const char* file, unsigned) {
    ++g_counts.mallocsEx;
    if (!file) g_counts.fileGiven = false;
    void* p = std::malloc(n);
    if (p) ++g_counts.liveEx;
    return p;
}
void* CountReallocEx(void* p, size_t n, const char* file, unsigned) {
    ++g_counts.reallocsEx;
    if (!file) g_counts.fileGiven = false;
    void* q = std::realloc(p, n);
    if (!p && q) ++g_counts.liveEx;
    return q;
}
void CountFreeEx(void* p, const char* file, unsigned) {
    ++g_counts.freesEx;
    if (!file) g_counts.fileGiven = false;
    if (p) --g_counts.liveEx;
    std::free(p);
}

struct CountingHooks {
    CountingHooks() {
        Net::SetMalloc(CountMalloc);
        Net::SetRealloc(CountRealloc);
        Net::SetFree(CountFree);
        Net::SetMalloc_Ex(CountMallocEx);
        Net::SetRealloc_Ex(CountReallocEx);
        Net::SetFree_Ex(CountFreeEx);
    }
    ~CountingHooks() {  // null puts the defaults back
        Net::SetMalloc(nullptr);
        Net::SetRealloc(nullptr);
        Net::SetFree(nullptr);
        Net::SetMalloc_Ex(nullptr);
        Net::SetRealloc_Ex(nullptr);
        Net::SetFree_Ex(nullptr);
    }
};

}  // namespace

TEST(Allocation, HooksAreCalledAndDefaultsComeBack) {
    {
        CountingHooks hooks;
        const long m = g_counts.mallocs, r = g_counts.reallocs, f = g_counts.frees;
        void* p = Net::Malloc(10);
        p = Net::Realloc(p, 20);
        Net::Free(p);
        Net::Free(nullptr);
        EXPECT_EQ(g_counts.mallocs - m, 1);
        EXPECT_EQ(g_counts.reallocs - r, 1);
        EXPECT_EQ(g_counts.frees - f, 1);

        // A stream keeps small content inline and grows through the _Ex hooks.
        const long mx = g_counts.mallocsEx, rx = g_counts.reallocsEx, fx = g_counts.freesEx;
        {
            Net::BitStream small;
            small.Write(uint64_t{1});
            EXPECT_EQ(g_counts.mallocsEx - mx, 0);
            Net::BitStream s;
            for (uint32_t i = 0; i < 1000; ++i) s.Write(i);
        }
        EXPECT_EQ(g_counts.mallocsEx - mx, 1);
        EXPECT_GE(g_counts.reallocsEx - rx, 1);
        EXPECT_EQ(g_counts.freesEx - fx, 1);
        EXPECT_TRUE(g_counts.fileGiven);
    }
    const long m = g_counts.mallocs;
    Net::Free(Net::Malloc(8));
    EXPECT_EQ(g_counts.mallocs, m);
}

TEST(Allocation, EnetAndPeersAllocateOnlyThroughTheHooks) {
    CountingHooks hooks;
    const long liveBefore = g_counts.live, liveExBefore = g_counts.liveEx;
    const long mallocsBefore = g_counts.mallocs, mallocsExBefore = g_counts.mallocsEx;
    {
        Pair pair;
        const std::vector<unsigned char> big(100000, Net::ID_USER_PACKET_ENUM);
        ASSERT_NE(pair.client->Send(reinterpret_cast<const char*>(big.data()), static_cast<int>(big.size()),
                                    Net::HIGH_PRIORITY, Net::RELIABLE, 1, pair.server->GetMyGUID(), false),
                  0u);
        ASSERT_NE(pair.serverIn.WaitId(Net::ID_USER_PACKET_ENUM), nullptr);
        // ENet's host, peers, commands and packets; the library's packets and records.
        EXPECT_GT(g_counts.mallocs - mallocsBefore, 10);
        EXPECT_GT(g_counts.mallocsEx - mallocsExBefore, 3);
        EXPECT_GT(g_counts.live - liveBefore, 0);
    }
    // Everything that went out through the hooks came back through them.
    EXPECT_EQ(g_counts.live - liveBefore, 0);
    EXPECT_EQ(g_counts.liveEx - liveExBefore, 0);
}
