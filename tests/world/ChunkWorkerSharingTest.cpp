// How the chunk worker shares its time between peers: a peer that keeps its
// whole share of the queue filled with chunks nobody has asked for holds up
// neither another peer's small request, nor a spawn, nor the worker's steps,
// nor a stop; and every answer still comes in one message with all of its
// chunks. Against a real SQLite file in a temporary folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "world/ChunkerFileTest.h"
#include "world/ServerChunker.h"
#include "world/TestChunker.h"

namespace Tav {
namespace {

using namespace std::chrono_literals;

// Records what the worker hands up; answers may come from the worker's
// sending thread, so everything is taken under one mutex.
class Host : public IChunkHost {
public:
    struct Answer {
        uint64_t peer;
        std::vector<Vector3i> coordinates;
    };

    void SendChunks(const TouchedSet& chunks, const Net::AddressOrGuid& target, int, bool) override {
        if (gate) gate(target.guid.g);
        Answer a{target.guid.g, {}};
        for (const Chunk* c : chunks) a.coordinates.push_back(c->Coordinates());
        std::lock_guard<std::mutex> lock(mutex);
        answers.push_back(std::move(a));
        events.push_back("answer " + std::to_string(target.guid.g));
    }
    void SendChunkEntries(uint32_t, const Net::BitStream&, const Net::AddressOrGuid&, int, bool) override {}
    void SpawnPlayer(Net::Guid guid, const Vector3&) override {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back("spawn " + guid.ToString());
    }
    void CollectScriptGarbage() override {}
    void UpdateHeldItems(double) override { ++steps; }
    void ForEachPlayerPosition(const std::function<void(const Vector3&)>&) override {}

    std::vector<Answer> AnswersTo(uint64_t peer) {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<Answer> out;
        for (const Answer& a : answers)
            if (a.peer == peer) out.push_back(a);
        return out;
    }
    std::vector<std::string> Events() {
        std::lock_guard<std::mutex> lock(mutex);
        return events;
    }

    std::function<void(uint64_t peer)> gate;  // runs first in every send
    std::mutex mutex;
    std::vector<Answer> answers;
    std::vector<std::string> events;
    std::atomic<int> steps{0};
};

class ChunkWorkerSharingTest : public ChunkerFileTest {
protected:
    // count ground chunks (cy 0: never empty) that nobody has asked for,
    // in a row of the peer's own, far from the spawn.
    static std::vector<Vector3i> Unseen(uint64_t peer, int count, int from = 0) {
        std::vector<Vector3i> c;
        for (int i = from; i < from + count; ++i)
            c.push_back({1000 + i % 20000, 0, 1000 + static_cast<int>(peer) * 10 + i / 20000});
        return c;
    }
    // Fills the peer's whole share of the queue with requests of unseen chunks.
    static void Flood(ServerChunker& chunker, uint64_t peer) {
        const int n = static_cast<int>(ServerChunker::kMaxCoordinatesPerRequest);
        const size_t requests = ServerChunker::kMaxQueuedCoordinatesPerPeer / ServerChunker::kMaxCoordinatesPerRequest;
        for (size_t k = 0; k < requests; ++k)
            ASSERT_TRUE(chunker.QueueChunkRequest(Request(Unseen(peer, n, static_cast<int>(k) * n), peer)));
    }
    static void Drain(ServerChunker& chunker) {
        while (chunker.ProcessQueues()) {
        }
    }
    // The row keys ("cx,cy,cz") of coordinates, as a set.
    static std::set<std::string> Keys(const std::vector<Vector3i>& v) {
        std::set<std::string> keys;
        for (const Vector3i& c : v) keys.insert(ServerChunker::LocationKey(c.x, c.y, c.z));
        return keys;
    }

    Host host;
};

// Two peers flood the queue; then a peer connects (its spawn) and another asks
// for three resident chunks. The spawn comes first, then the small answer,
// whole, while no flooder has had an answer yet.
TEST_F(ChunkWorkerSharingTest, ASpawnAndASmallRequestGoBeforeTheFloodAndTheAnswerIsWhole) {
    TestChunker chunker(file, &host);
    const std::vector<Vector3i> small{{0, 0, 0}, {1, 0, 0}, {0, 0, -1}};
    for (const Vector3i& c : small) ASSERT_NE(chunker.GetChunk(c.x, c.y, c.z), nullptr);
    Flood(chunker, 1);
    Flood(chunker, 2);
    chunker.QueueSpawnRequest(SpawnRequest{Net::Guid(7), Vector3(0, 0, 0)});
    ASSERT_TRUE(chunker.QueueChunkRequest(Request(small, 9)));

    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (host.AnswersTo(9).empty() && std::chrono::steady_clock::now() < deadline) chunker.ProcessQueues();
    const std::vector<std::string> events = host.Events();
    ASSERT_EQ(events.size(), 2u) << "no flooder is answered before them";
    EXPECT_EQ(events[0], "spawn 7");
    EXPECT_EQ(events[1], "answer 9");
    EXPECT_EQ(Keys(host.AnswersTo(9)[0].coordinates), Keys(small));
}

// A large request is built over many turns while eviction runs between them
// (a limit far below the request); it still arrives as one message with
// exactly its chunks, and once it is sent its chunks may be evicted.
TEST_F(ChunkWorkerSharingTest, ALargeRequestArrivesInOneMessageWithAllItsChunks) {
    constexpr uint32_t kLimit = 64;
    TestChunker chunker(file, &host, kLimit);
    const int n = static_cast<int>(ServerChunker::kMaxCoordinatesPerRequest);
    const std::vector<Vector3i> large = Unseen(1, n);
    ASSERT_TRUE(chunker.QueueChunkRequest(Request(large, 1)));
    // Another peer's small requests of unseen chunks come in turn with it.
    for (int k = 0; k < 8; ++k) ASSERT_TRUE(chunker.QueueChunkRequest(Request(Unseen(2, 4, 4 * k), 2)));
    size_t steps = 0;
    while (chunker.ProcessQueues()) ++steps;
    EXPECT_GT(steps, 1u) << "built over several steps";

    const auto answers = host.AnswersTo(1);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].coordinates.size(), large.size());
    const std::set<std::string> sent = Keys(answers[0].coordinates);
    size_t missing = 0;
    for (const std::string& key : Keys(large)) missing += sent.count(key) == 0;
    EXPECT_EQ(missing, 0u) << "chunks of the request not in its answer";
    EXPECT_EQ(host.AnswersTo(2).size(), 8u);
    const std::vector<std::string> events = host.Events();
    EXPECT_EQ(events.back(), "answer 1") << "the small ones did not wait for it";
    EXPECT_LT(chunker.LoadedCount(), kLimit) << "sent, its chunks are no longer kept";
}

// A peer that leaves takes its work with it: a request half built is
// dropped (nothing more is made for it, nothing is sent), and so is a
// complete answer still waiting for the sending thread; what the same peer
// asks after it has come back is answered afresh.
TEST_F(ChunkWorkerSharingTest, APeerThatLeavesTakesItsHalfDoneWorkWithIt) {
    TestChunker chunker(file, &host);
    ASSERT_TRUE(chunker.QueueChunkRequest(Request(Unseen(1, 1024), 1)));
    chunker.ProcessQueues();  // one step: part of the request
    const uint32_t made = chunker.LoadedCount();
    ASSERT_GT(made, 0u);
    ASSERT_LT(made, 1024u);
    chunker.DropChunkRequests(Net::Guid(1));
    Drain(chunker);
    EXPECT_TRUE(host.AnswersTo(1).empty());
    EXPECT_EQ(chunker.LoadedCount(), made) << "nothing more was made for it";

    // The sending thread is held in its first answer (peer 5's); peer 1's
    // answer, complete, waits behind it when peer 1 leaves.
    std::mutex m;
    std::condition_variable cv;
    bool sending = false, release = false;
    host.gate = [&](uint64_t peer) {
        if (peer != 5) return;
        std::unique_lock<std::mutex> lock(m);
        sending = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    };
    const size_t large = ServerChunker::kMaxInlineAnswerChunks + 4;  // packed by the sending thread
    ASSERT_TRUE(chunker.QueueChunkRequest(Request(Unseen(5, static_cast<int>(large)), 5)));
    for (bool held = false; !held;) {
        chunker.ProcessQueues();
        std::lock_guard<std::mutex> lock(m);
        held = sending;
    }
    EXPECT_TRUE(chunker.QueueChunkRequest(Request(Unseen(1, static_cast<int>(large), 2000), 1)));
    for (int i = 0; i < 50; ++i) chunker.ProcessQueues();  // complete, and handed over
    chunker.DropChunkRequests(Net::Guid(1));
    // Back, with the same GUID: a new request.
    const std::vector<Vector3i> again{{0, 0, 0}};
    EXPECT_TRUE(chunker.QueueChunkRequest(Request(again, 1)));
    chunker.ProcessQueues();
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    Drain(chunker);
    EXPECT_EQ(host.AnswersTo(5).size(), 1u);
    const auto answers = host.AnswersTo(1);
    ASSERT_EQ(answers.size(), 1u) << "only what it asked after it came back";
    EXPECT_EQ(answers[0].coordinates, again);
}

// Answers waiting for the sending thread hold room; once they fill it,
// further large requests wait (nothing lost, each answered once room is
// freed), while a request of a few chunks that must be generated still
// gets room of its own and is answered meanwhile.
TEST_F(ChunkWorkerSharingTest, WhenAnswersFillTheirRoomLargeRequestsWaitAndSmallOnesDoNot) {
    TestChunker chunker(file, &host);
    const int n = static_cast<int>(ServerChunker::kMaxCoordinatesPerRequest);
    const std::vector<Vector3i> large = Unseen(1, n);
    for (const Vector3i& c : large) ASSERT_NE(chunker.GetChunk(c.x, c.y, c.z), nullptr);
    // The sending thread is held in its first answer.
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    host.gate = [&](uint64_t peer) {
        if (peer == 20) return;
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return release; });
    };
    const uint64_t peers = ServerChunker::kAnswerRoom / ServerChunker::kMaxCoordinatesPerRequest + 2;
    for (uint64_t peer = 1; peer <= peers; ++peer) ASSERT_TRUE(chunker.QueueChunkRequest(Request(large, peer)));
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(chunker.ProcessQueues());
    // Ten chunks to generate: more than one turn.
    const std::vector<Vector3i> few = Unseen(20, 10);
    EXPECT_TRUE(chunker.QueueChunkRequest(Request(few, 20)));
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (host.AnswersTo(20).empty() && std::chrono::steady_clock::now() < deadline) chunker.ProcessQueues();
    const auto small = host.AnswersTo(20);
    EXPECT_EQ(host.Events().size(), small.size()) << "the large ones are all still waiting";
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_EQ(small.size(), 1u) << "answered while the large ones wait";
    EXPECT_EQ(Keys(small[0].coordinates), Keys(few));
    Drain(chunker);
    for (uint64_t peer = 1; peer <= peers; ++peer) {
        const auto answers = host.AnswersTo(peer);
        ASSERT_EQ(answers.size(), 1u) << peer;
        EXPECT_EQ(answers[0].coordinates.size(), large.size()) << peer;
    }
}

// The real worker under four flooding peers: its steps (held items, script
// garbage) go on at their pace, and a stop ends the step at the next turn
// rather than after a share of every peer's backlog.
class StopProbe final : public ServerChunker {
public:
    StopProbe(const std::string& file, IChunkHost* host) : ServerChunker(nullptr, host, file) {}
    ~StopProbe() override { Stop(); }
    std::atomic<uint32_t> loadedAtStop{0};

protected:
    void WorkerStopped(bool workerEnded) override {
        loadedAtStop = LoadedCount();
        ServerChunker::WorkerStopped(workerEnded);
    }
};

TEST_F(ChunkWorkerSharingTest, AFloodHoldsUpNeitherTheStepsNorTheStop) {
    StopProbe chunker(file, &host);
    for (uint64_t peer = 1; peer <= 4; ++peer) Flood(chunker, peer);
    chunker.Start();
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (host.steps < 5 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    ASSERT_GE(host.steps.load(), 5);
    const uint32_t before = chunker.LoadedCount();
    EXPECT_LT(before, ServerChunker::kMaxCoordinatesPerRequest) << "five steps take far less than one request";
    EXPECT_TRUE(host.AnswersTo(1).empty());
    chunker.Stop();
    EXPECT_LT(chunker.loadedAtStop.load(), before + ServerChunker::kMaxCoordinatesPerRequest / 2)
        << "the stop did not wait for the peers' backlog";
}

}  // namespace
}  // namespace Tav
