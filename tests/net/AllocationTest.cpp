#include "net/Allocation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
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

// The program's own operator new, counting the calls that the library could
// make around the hooks: every call on a thread other than the test's (the
// only other threads are the library's), and on the test's thread while it
// is inside a call of the library.
std::atomic<long> g_foreignNews{0};
thread_local bool t_testThread = false;
thread_local bool t_inLibrary = false;

template <class F>
auto InLibrary(F&& f) {
    struct Scope {
        Scope() { t_inLibrary = true; }
        ~Scope() { t_inLibrary = false; }
    } scope;
    return f();
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

// Through pointers, so that the compiler does not pair malloc with delete.
void* (*volatile g_systemMalloc)(size_t) = std::malloc;
void (*volatile g_systemFree)(void*) = std::free;

void* operator new(size_t n) {
    if (!t_testThread || t_inLibrary) ++g_foreignNews;
    if (void* p = g_systemMalloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { g_systemFree(p); }
void operator delete(void* p, size_t) noexcept { g_systemFree(p); }

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
    t_testThread = true;
    CountingHooks hooks;
    const long liveBefore = g_counts.live, liveExBefore = g_counts.liveEx;
    const long mallocsBefore = g_counts.mallocs, mallocsExBefore = g_counts.mallocsEx;
    g_foreignNews = 0;
    {
        // The peers' service threads run from Startup to Shutdown.
        PeerPtr server(InLibrary([] { return Net::Peer::GetInstance(); }));
        PeerPtr client(InLibrary([] { return Net::Peer::GetInstance(); }));
        Net::SocketDescriptor sd(0, "127.0.0.1");
        InLibrary([&] {
            server->Startup(4, &sd, 1);
            server->SetMaximumIncomingConnections(4);
            client->Startup(1, &sd, 1);
            return client->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0);
        });
        Inbox serverIn(server.get()), clientIn(client.get());
        ASSERT_NE(clientIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
        ASSERT_NE(serverIn.WaitId(Net::ID_NEW_INCOMING_CONNECTION), nullptr);
        const std::vector<unsigned char> big(100000, Net::ID_USER_PACKET_ENUM);
        ASSERT_NE(InLibrary([&] {
                      return client->Send(reinterpret_cast<const char*>(big.data()), static_cast<int>(big.size()),
                                          Net::HIGH_PRIORITY, Net::RELIABLE, 1, server->GetMyGUID(), false);
                  }),
                  0u);
        ASSERT_NE(serverIn.WaitId(Net::ID_USER_PACKET_ENUM), nullptr);
        // ENet's host, peers, commands and packets; the library's packets and records.
        EXPECT_GT(g_counts.mallocs - mallocsBefore, 10);
        EXPECT_GT(g_counts.mallocsEx - mallocsExBefore, 3);
        EXPECT_GT(g_counts.live - liveBefore, 0);

        // A text's characters too, beyond what fits in the object itself.
        const long textMallocs = g_counts.mallocsEx;
        const std::string thousand(1000, 'x');
        InLibrary([&] {
            Net::String text(thousand);
            Net::String copy = text;
            Net::BitStream s;
            copy.Serialize(&s);
            Net::String back;
            return back.Deserialize(&s);
        });
        EXPECT_GE(g_counts.mallocsEx - textMallocs, 3);

        InLibrary([&] {
            client->Shutdown();
            server->Shutdown();
            return 0;
        });
        InLibrary([&] {
            server.reset();
            client.reset();
            return 0;
        });
    }
    // Nothing of the library went around the hooks, on any of its threads.
    EXPECT_EQ(g_foreignNews.load(), 0);
    // Everything that went out through the hooks came back through them.
    EXPECT_EQ(g_counts.live - liveBefore, 0);
    EXPECT_EQ(g_counts.liveEx - liveExBefore, 0);
}
