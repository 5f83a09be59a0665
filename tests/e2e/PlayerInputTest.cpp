// Player input as a client sends it: the real server binary, and a client of
// the test on loopback that decodes the player state the server replicates.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/JoinedPlayer.h"
#include "entities/PlayerInput.h"

namespace {

using TavTest::InputMessage;

bool Finite(const Tav::Vector3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

class PlayerInputs : public TavTest::JoinedPlayerTest {
protected:
    void SetUp() override { StartAndJoin(); }
    // Waits until the server's replicated state carries an input of this time.
    bool Applied(double time) {
        return client.Pump([&] { return !own->states.empty() && own->states.back().input.time == time; });
    }
};

// The body of seven doubles with no flag bits is an input whose six flags are
// false.
TEST_F(PlayerInputs, AnInputOfSevenDoublesWithoutFlagBitsIsApplied) {
    Net::BitStream message;
    message.Write(static_cast<uint8_t>(Tav::ID_PLAYER_INPUT));
    for (double d : {0.25, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0}) message.Write(d);  // time, move, facing
    ASSERT_EQ(message.GetNumberOfBytesUsed(), 57u);
    ASSERT_TRUE(client.Send(message));
    ASSERT_TRUE(Applied(0.25)) << server->Transcript();
    const Tav::PlayerInput& input = own->states.back().input;
    EXPECT_EQ(input.move, Tav::Vector3(1, 0, 0));
    EXPECT_EQ(input.facing, Tav::Vector3(0, 0, 1));
    EXPECT_FALSE(input.jump || input.run || input.button0 || input.button1 || input.button2 || input.button3);
    EXPECT_EQ(own->states.back().state.facing, Tav::Vector3(0, 0, 1));
}

// Infinite and undefined numbers never reach the player's state, so no peer
// ever receives them; a time that runs backwards does not lift the player.
TEST_F(PlayerInputs, BrokenInputsNeverReachWhatEveryPeerReceives) {
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    auto input = [](double time, Tav::Vector3 move, Tav::Vector3 facing) {
        Tav::PlayerInput in;
        in.time = time;
        in.move = move;
        in.facing = facing;
        return in;
    };
    ASSERT_TRUE(client.Send(InputMessage(input(0.5, {}, {0, 0, 1}))));
    ASSERT_TRUE(Applied(0.5)) << server->Transcript();
    const double restingY = own->states.back().state.motion.position.y;
    const std::vector<Tav::PlayerInput> broken = {
        input(inf, {1, 0, 0}, {0, 0, 1}), input(inf, {1, 0, 0}, {0, 0, 1}), input(nan, {}, {0, 0, 1}),
        input(0.6, {inf, 0, 0}, {0, 0, 1}), input(0.7, {nan, 0, 0}, {0, 0, 1}), input(0.8, {}, {0, -inf, 0}),
        input(0.2, {}, {0, 0, 1}),  input(-50.0, {}, {0, 0, 1}), input(-100.0, {}, {0, 0, 1}),
    };
    for (const Tav::PlayerInput& in : broken) ASSERT_TRUE(client.Send(InputMessage(in)));
    ASSERT_TRUE(client.Send(InputMessage(input(1.0, {}, {0, 0, 1}))));
    ASSERT_TRUE(Applied(1.0)) << server->Transcript();
    for (const auto& received : own->states) {
        EXPECT_TRUE(Finite(received.state.motion.position)) << received.state.motion.position.ToString();
        EXPECT_TRUE(Finite(received.state.motion.velocity)) << received.state.motion.velocity.ToString();
        EXPECT_TRUE(Finite(received.state.facing) && Finite(received.input.move) && Finite(received.input.facing));
        EXPECT_TRUE(std::isfinite(received.input.time));
        EXPECT_LE(received.state.motion.position.y, restingY) << "lifted by a time running backwards";
    }
}

}  // namespace
