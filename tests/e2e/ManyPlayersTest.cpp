// Many players at once on the real server binary: 32 clients of the test
// connect, each sends its player's input 30 times a second for a few
// seconds, asks for chunks and edits the world, and every one of them stays
// connected, sees every other player move and gets every answer and
// broadcast. (Speed is the load benchmark's business, bench/load_bench.)
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "e2e/ReplicaClient.h"
#include "world/ChunkMessage.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using TavTest::ReplicaClient;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

constexpr int kClients = 32;

// Takes what has arrived, without waiting.
void Drain(ReplicaClient& c) {
    c.Pump([] { return false; }, 0ms);
}

bool DrainAllUntil(std::vector<std::unique_ptr<ReplicaClient>>& clients, const std::function<bool()>& done,
                   std::chrono::milliseconds deadline = 30s) {
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        for (auto& c : clients) Drain(*c);
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

size_t Lost(const ReplicaClient& c) {
    return c.CountOf(Net::ID_DISCONNECTION_NOTIFICATION) + c.CountOf(Net::ID_CONNECTION_LOST);
}

// Whether the chunk-data message holds the chunk column (cx, cz).
bool HoldsColumn(const std::vector<unsigned char>& message, int32_t cx, int32_t cz) {
    std::vector<Tav::ChunkDataEntry> entries;
    if (!Tav::ReadChunkDataMessage(message.data(), message.size(), entries)) return false;
    for (const auto& e : entries)
        if (e.cx == cx && e.cz == cz) return true;
    return false;
}

TEST(ManyPlayers, ThirtyTwoClientsWithInputStayConnectedAndAreAnswered) {
    if (kSanitized) GTEST_SKIP() << "32 clients at 30 Hz are more than a sanitized server is built for";
    TavTest::WorkFolder folder;
    TavTest::ServerProcess server(folder);
    ASSERT_TRUE(server.WaitUntilListening());

    std::vector<std::unique_ptr<ReplicaClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<ReplicaClient>());
        ASSERT_TRUE(clients.back()->Connect()) << "client " << i;
    }
    // Every client has its own player and sees all the others.
    ASSERT_TRUE(DrainAllUntil(clients, [&] {
        for (auto& c : clients) {
            if (!c->Own()) return false;
            for (auto& other : clients)
                if (!c->PlayerOf(other->MyGuid())) return false;
        }
        return true;
    })) << server.Transcript();

    // Four seconds of play: inputs at 30 Hz, walking in circles; client 0
    // asks for a chunk column nobody else wants; every eighth client edits.
    const size_t chunkDataBefore = clients[0]->CountOf(Tav::ID_CHUNK_DATA);
    clients[0]->Send(TavTest::ChunkRequest({{4, 0, 4}, {4, 1, 4}, {4, 2, 4}, {4, 3, 4}, {4, 4, 4}}));
    int edits = 0;
    for (int i = 0; i < kClients; i += 8, ++edits)
        clients[static_cast<size_t>(i)]->Send(TavTest::PlaceBrick(Tav::Vector3i(-20 + i, 40, 5), 0, 0, 3));
    constexpr int kInputs = 120;
    const auto start = Clock::now();
    for (int n = 1; n <= kInputs; ++n) {
        const auto due = start + n * std::chrono::microseconds(33333);
        while (Clock::now() < due) {
            for (auto& c : clients) Drain(*c);
            std::this_thread::sleep_for(1ms);
        }
        for (int i = 0; i < kClients; ++i) {
            Tav::PlayerInput input;
            input.time = n / 30.0;
            const double angle = 0.1 * n + i;
            input.facing = Tav::Vector3(std::cos(angle), 0.0, std::sin(angle));
            input.move = Tav::Vector3(1.0, 0.0, 0.0);
            clients[static_cast<size_t>(i)]->Send(TavTest::InputMessage(input));
        }
    }
    // Each client has seen every other player's input up to the last one
    // (the server serialises what it applied last).
    const double last = kInputs / 30.0;
    ASSERT_TRUE(DrainAllUntil(clients, [&] {
        for (auto& c : clients)
            for (auto& other : clients) {
                const TavTest::SeenEntity* e = c->PlayerOf(other->MyGuid());
                if (!e || e->states.empty() || e->states.back().input.time != last) return false;
            }
        return true;
    }, 10s)) << server.Transcript();

    for (size_t i = 0; i < clients.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "client " << i);
        const ReplicaClient& c = *clients[i];
        EXPECT_EQ(Lost(c), 0u);
        // Movement of the others came in all along, not only at the end.
        for (auto& other : clients) {
            if (other.get() == &c) continue;
            const TavTest::SeenEntity* e = c.PlayerOf(other->MyGuid());
            size_t moving = 0;
            for (const auto& s : e->states) moving += s.input.time > 0.0;
            EXPECT_GE(moving, static_cast<size_t>(kInputs / 4));
        }
        // Every edit was broadcast to everyone.
        EXPECT_GE(c.CountOf(Tav::ID_CHUNK_DATA), static_cast<size_t>(edits));
    }
    // Client 0 got the answer to its request.
    const auto data = clients[0]->MessagesWithId(Tav::ID_CHUNK_DATA);
    size_t answers = 0;
    for (size_t k = chunkDataBefore; k < data.size(); ++k) answers += HoldsColumn(data[k].data, 4, 4);
    EXPECT_EQ(answers, 1u);
    EXPECT_TRUE(server.Running());
    server.WriteLine("exit");
    EXPECT_EQ(server.WaitExit(), 0);
}

}  // namespace
