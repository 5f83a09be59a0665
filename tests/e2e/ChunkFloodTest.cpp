// Hosts that keep their whole share of the chunk queue filled, against the
// real server binary: another host's small request and a new host's spawn do
// not wait behind them, and the stop still ends the server in order.
#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "world/ChunkMessage.h"

namespace {

using namespace std::chrono_literals;
using TavTest::RawClient;

// 1024 ground chunks (cy 0, never empty) that nobody has asked for: row k of
// host h, far from the spawn.
std::vector<Tav::Vector3i> Unseen(int host, int k) {
    std::vector<Tav::Vector3i> c;
    for (int i = 0; i < 1024; ++i) c.push_back({1000 + i, 0, 1000 + 10 * host + k});
    return c;
}

size_t ChunkAnswers(RawClient& client) {
    client.Drain();
    size_t n = 0;
    for (const auto& r : client.All()) n += r.data[0] == Tav::ID_CHUNK_DATA;
    return n;
}

TEST(ChunkFlood, ASmallRequestAndASpawnDoNotWaitBehindFloodingHosts) {
    TavTest::WorkFolder folder;
    TavTest::ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Starting server..."));
    ASSERT_TRUE(server.WaitUntilListening());
    RawClient honest, a, b;
    for (RawClient* c : {&honest, &a, &b}) {
        ASSERT_TRUE(c->Connect());
        ASSERT_TRUE(c->WaitFor(Tav::ID_PLAYER_SPAWNED));
    }
    // Two hosts fill their shares: 8 requests of 1024 chunks each, as the
    // protocol allows.
    for (int k = 0; k < 8; ++k) {
        ASSERT_TRUE(a.Send(TavTest::ChunkRequest(Unseen(1, k)), Net::RELIABLE_ORDERED));
        ASSERT_TRUE(b.Send(TavTest::ChunkRequest(Unseen(2, k)), Net::RELIABLE_ORDERED));
    }
    std::this_thread::sleep_for(300ms);  // the flood is queued and under way

    // Three chunks of the spawn block, resident; and a new host.
    const std::vector<Tav::Vector3i> small{{0, 0, 0}, {1, 0, 0}, {0, 0, -1}};
    ASSERT_TRUE(honest.Send(TavTest::ChunkRequest(small)));
    const auto answer = honest.WaitFor(Tav::ID_CHUNK_DATA, 60s);
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(ChunkAnswers(a) + ChunkAnswers(b), 0u) << "a flooding host was answered first";
    std::vector<Tav::ChunkDataEntry> entries;
    ASSERT_TRUE(Tav::ReadChunkDataMessage(answer->data(), answer->size(), entries));
    std::set<std::string> got, asked;
    for (const auto& e : entries) got.insert(Tav::Vector3i(e.cx, e.cy, e.cz).ToString());
    for (const auto& c : small) asked.insert(c.ToString());
    EXPECT_EQ(got, asked) << "the whole set in one message";

    RawClient joiner;
    ASSERT_TRUE(joiner.Connect());
    ASSERT_TRUE(joiner.WaitFor(Tav::ID_PLAYER_SPAWNED, 60s));
    EXPECT_EQ(ChunkAnswers(a) + ChunkAnswers(b), 0u) << "the new host waited for a flooding host's answer";

    // The stop, with the flood still queued.
    server.WriteLine("exit");
    EXPECT_EQ(server.WaitExit(), 0) << server.Transcript();
    EXPECT_EQ(server.SanitizerReport(), "");
    EXPECT_TRUE(honest.WaitFor(Net::ID_DISCONNECTION_NOTIFICATION, 10s).has_value());
}

}  // namespace
