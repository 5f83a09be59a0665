// Bit-for-bit checks of the entity wire forms: motion state, player input,
// construction, destruction, serialisation and the inventory form.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "EntityTestSupport.h"
#include "entities/EntityManager.h"
#include "entities/PhysicsEntity.h"
#include "entities/Player.h"

using namespace Tav;
using TavTest::BitsAt;
using TavTest::DoubleAt;
using TavTest::DoubleBits;
using TavTest::TextBits;

namespace {

PlayerInput SampleInput() {
    PlayerInput in;
    in.time = 12.5;
    in.move = Vector3(0.25, -0.5, 0.125);
    in.facing = Vector3(1.0, 2.0, 3.0);
    in.jump = true;
    in.run = false;
    in.button0 = true;
    in.button1 = false;
    in.button2 = false;
    in.button3 = true;
    return in;
}

}  // namespace

TEST(MotionStateTest, NewStateAndExactEquality) {
    MotionState s;
    EXPECT_EQ(s.position, Vector3(0, 0, 0));
    EXPECT_EQ(s.velocity, Vector3(0, 0, 0));
    EXPECT_EQ(s.rotation, Quaternion(0, 0, 0, 1));

    MotionState negZero;
    negZero.velocity.y = -0.0;
    EXPECT_TRUE(s == negZero);

    MotionState nan;
    nan.rotation.z = std::numeric_limits<double>::quiet_NaN();
    EXPECT_FALSE(nan == nan);
    EXPECT_FALSE(s == nan);

    MotionState moved;
    moved.position.z = 1e-300;
    EXPECT_FALSE(s == moved);
}

TEST(PlayerInputFormTest, LayoutIs454BitsInWireOrder) {
    Net::BitStream out;
    SampleInput().Serialize(&out);
    ASSERT_EQ(out.GetNumberOfBitsUsed(), 454u);
    EXPECT_EQ(DoubleAt(out, 0), 12.5);
    EXPECT_EQ(DoubleAt(out, 64), 0.25);    // move first
    EXPECT_EQ(DoubleAt(out, 128), -0.5);
    EXPECT_EQ(DoubleAt(out, 192), 0.125);
    EXPECT_EQ(DoubleAt(out, 256), 1.0);    // then facing
    EXPECT_EQ(DoubleAt(out, 320), 2.0);
    EXPECT_EQ(DoubleAt(out, 384), 3.0);
    // jump, run, button0..3
    EXPECT_EQ(BitsAt(out, 448, 6), 0b101001u);
    // Big-endian on the byte level too: 12.5 is 0x4029000000000000.
    EXPECT_EQ(out.GetData()[0], 0x40);
    EXPECT_EQ(out.GetData()[1], 0x29);
}

TEST(PlayerInputFormTest, RoundTripAndShortStreams) {
    Net::BitStream out;
    const PlayerInput sent = SampleInput();
    sent.Serialize(&out);
    PlayerInput got;
    got.Deserialize(&out);
    EXPECT_EQ(got.time, sent.time);
    EXPECT_EQ(got.move, sent.move);
    EXPECT_EQ(got.facing, sent.facing);
    EXPECT_TRUE(got.jump && !got.run && got.button0 && !got.button1 && !got.button2 && got.button3);

    // The 56-byte body of ID_PLAYER_INPUT without flag bits: all flags false.
    Net::BitStream body(out.GetData(), 56, true);
    PlayerInput fromBody;
    fromBody.Deserialize(&body);
    EXPECT_EQ(fromBody.facing, sent.facing);
    EXPECT_FALSE(fromBody.jump || fromBody.run || fromBody.button0 || fromBody.button3);

    // Two flag bits only: jump and run read, the rest keep their values.
    Net::BitStream twoBits;
    twoBits.WriteStream(body);
    twoBits.Write1();
    twoBits.Write1();
    PlayerInput partial;
    partial.button3 = true;
    partial.Deserialize(&twoBits);
    EXPECT_TRUE(partial.jump && partial.run && partial.button3);
    EXPECT_FALSE(partial.button0);

    // A stream that ends inside the doubles leaves the rest as it was.
    Net::BitStream cut(out.GetData(), 20, true);
    PlayerInput kept;
    kept.facing = Vector3(7, 7, 7);
    kept.Deserialize(&cut);
    EXPECT_EQ(kept.time, 12.5);
    EXPECT_EQ(kept.move.x, 0.25);
    EXPECT_EQ(kept.facing, Vector3(7, 7, 7));
}

class EntityFormTest : public ::testing::Test {
protected:
    void SetUp() override { TavTest::EnsureCatalogue(); }
    TavTest::FakeHost server{0x0102030405060708ull, true};
};

TEST_F(EntityFormTest, PhysicsEntitySerialisesTenBigEndianDoubles) {
    PhysicsEntity entity(Vector3(1, 2, 3), &server, server.me);
    Net::SerializeParameters params;
    EXPECT_EQ(entity.Serialize(&params), Net::SERIALIZE_BROADCAST_IDENTICALLY);
    EXPECT_EQ(params.reliability[0], Net::UNRELIABLE_SEQUENCED);
    const Net::BitStream& out = params.outputBitstream[0];
    ASSERT_EQ(out.GetNumberOfBitsUsed(), 640u);
    ASSERT_EQ(out.GetNumberOfBytesUsed(), 80u);
    const double expected[10] = {1, 2, 3, 0, 0, 0, 0, 0, 0, 1};
    for (int i = 0; i < 10; ++i) {
        const uint64_t bits = DoubleBits(expected[i]);
        for (int b = 0; b < 8; ++b)
            EXPECT_EQ(out.GetData()[i * 8 + b], static_cast<unsigned char>(bits >> (56 - 8 * b))) << i << "/" << b;
    }
    for (int c = 1; c < Net::REPLICA_CHANNEL_COUNT; ++c) EXPECT_EQ(params.outputBitstream[c].GetNumberOfBitsUsed(), 0u);
}

TEST_F(EntityFormTest, ConstructionDestructionAndAllocationForms) {
    PhysicsEntity box(Vector3(5, 30, -2), &server, server.me);
    Player player(&server);
    player.guid = Net::Guid(42);
    player.simulatedState.facing = Vector3(0.5, 0, -1);
    player.simulatedState.onGround = true;

    Net::BitStream boxForm, playerForm;
    box.SerializeConstruction(&boxForm, nullptr);
    player.SerializeConstruction(&playerForm, nullptr);

    const uint32_t boxText = TextBits("PhysicsEntity SerializeConstruction");
    ASSERT_EQ(boxForm.GetNumberOfBitsUsed(), boxText + 704);
    EXPECT_EQ(BitsAt(boxForm, 0, 16), 35u);
    EXPECT_EQ(BitsAt(boxForm, boxText, 64), 0x0102030405060708ull);
    EXPECT_EQ(DoubleAt(boxForm, boxText + 64), 5.0);
    EXPECT_EQ(DoubleAt(boxForm, boxText + 128), 30.0);
    EXPECT_EQ(DoubleAt(boxForm, boxText + 192), -2.0);
    EXPECT_EQ(DoubleAt(boxForm, boxText + 64 + 9 * 64), 1.0);  // w

    const uint32_t playerText = TextBits("Player SerializeConstruction");
    ASSERT_EQ(playerForm.GetNumberOfBitsUsed(), playerText + 704 + 194);
    EXPECT_EQ(BitsAt(playerForm, playerText, 64), 42u);
    const uint32_t tail = playerText + 704;
    EXPECT_EQ(DoubleAt(playerForm, tail), 0.5);
    EXPECT_EQ(DoubleAt(playerForm, tail + 128), -1.0);
    EXPECT_EQ(BitsAt(playerForm, tail + 192, 2), 0b10u);  // onGround, running

    Net::BitStream destruction;
    player.SerializeDestruction(&destruction, nullptr);
    Net::String text;
    ASSERT_TRUE(text.Deserialize(&destruction));
    EXPECT_EQ(text.Str(), "Player SerializeDestruction");
    EXPECT_EQ(destruction.GetNumberOfUnreadBits(), 0u);

    Net::BitStream allocation;
    box.WriteAllocationID(nullptr, &allocation);
    ASSERT_TRUE(text.Deserialize(&allocation));
    EXPECT_EQ(text.Str(), "PhysicsEntity");
}

TEST_F(EntityFormTest, PlayerSerialisationCarriesInventoryOnlyAfterChange) {
    Player player(&server);
    player.simulatedState.motion.position = Vector3(1, 2, 3);
    player.simulatedState.running = true;
    player.lastInput = SampleInput();

    // The serialisation that carries new counts is the only one of them, so
    // it goes reliably; the others go unreliable sequenced, also the whole
    // inventory that a construction asks for (the new peer's first
    // serialisation goes reliably anyway).
    auto serialise = [&player](bool reliable = false) {
        Net::SerializeParameters params;
        EXPECT_EQ(player.Serialize(&params), Net::SERIALIZE_BROADCAST_IDENTICALLY);
        EXPECT_EQ(params.reliability[0], reliable ? Net::RELIABLE_ORDERED : Net::UNRELIABLE_SEQUENCED);
        return params.outputBitstream[0];
    };

    const Net::BitStream unchanged = serialise();
    ASSERT_EQ(unchanged.GetNumberOfBitsUsed(), 1289u);
    EXPECT_EQ(DoubleAt(unchanged, 0), 1.0);
    EXPECT_EQ(BitsAt(unchanged, 832, 2), 0b01u);  // onGround false, running true
    EXPECT_EQ(DoubleAt(unchanged, 834), 12.5);     // the last input follows
    EXPECT_EQ(BitsAt(unchanged, 834 + 448, 6), 0b101001u);
    EXPECT_EQ(BitsAt(unchanged, 1288, 1), 0u);

    const BrickType& type2 = BrickCatalogue::Types()[2];
    player.AddToInventory(type2, 10000);
    player.AddToInventory(type2, -1);
    EXPECT_EQ(player.GetInventoryCount(type2), 9999);

    const Net::BitStream changed = serialise(true);
    ASSERT_EQ(changed.GetNumberOfBitsUsed(), 1641u);
    EXPECT_EQ(BitsAt(changed, 1288, 1), 1u);
    EXPECT_EQ(BitsAt(changed, 1289, 32), 5u);
    for (uint32_t i = 0; i < 5; ++i) {
        EXPECT_EQ(BitsAt(changed, 1321 + 64 * i, 32), i);  // catalogue order
        EXPECT_EQ(BitsAt(changed, 1321 + 64 * i + 32, 32), i == 2 ? 9999u : 0u);
    }
    // Identical bits again once the change has been sent.
    EXPECT_TRUE(serialise().ContentEquals(unchanged));

    // A construction form for a new peer makes the next serialisation full.
    Net::BitStream construction;
    player.SerializeConstruction(&construction, nullptr);
    EXPECT_EQ(serialise().GetNumberOfBitsUsed(), 1641u);
    EXPECT_EQ(serialise().GetNumberOfBitsUsed(), 1289u);
}

TEST_F(EntityFormTest, InventoryFormAndReader) {
    const auto& types = BrickCatalogue::Types();
    Inventory inv;
    ASSERT_EQ(inv.slots.size(), 5u);
    EXPECT_FALSE(inv.changed);
    for (const BrickType& t : types) EXPECT_EQ(inv.GetCount(t), 0);

    Net::BitStream first;
    inv.Serialize(&first);
    EXPECT_EQ(first.GetNumberOfBitsUsed(), 1u);
    EXPECT_EQ(BitsAt(first, 0, 1), 0u);

    // An inventory of no slots, changed: the bit 1 and a u32 zero.
    Inventory empty(std::vector<const BrickType*>{});
    empty.changed = true;
    Net::BitStream emptyForm;
    empty.Serialize(&emptyForm);
    EXPECT_EQ(emptyForm.GetNumberOfBitsUsed(), 33u);
    EXPECT_EQ(BitsAt(emptyForm, 0, 33), 1ull << 32);

    // A type that has no slot is ignored by both operations.
    BrickType stranger(9, 1234);
    inv.Add(stranger, 5);
    EXPECT_FALSE(inv.changed);
    EXPECT_EQ(inv.GetCount(stranger), 0);

    struct Case {
        const char* name;
        std::vector<uint32_t> words;  // after the bit 1: n, then pairs
        uint32_t bitsCut;             // bits dropped from the end
        std::vector<int32_t> expected;
    };
    const std::vector<Case> cases = {
        {"n = 0 changes nothing", {0}, 0, {1, 1, 1, 1, 1}},
        {"pairs replace counts", {2, 3, 77, 0, 500}, 0, {500, 1, 1, 77, 1}},
        {"type id 7 is read and ignored", {2, 7, 99, 4, 8}, 0, {1, 1, 1, 1, 8}},
        {"negative count travels as 32 bits", {1, 1, 0xFFFFFFFFu}, 0, {1, -1, 1, 1, 1}},
        {"truncated n: only whole pairs apply", {1000000000u, 2, 40, 3, 60}, 0, {1, 1, 40, 60, 1}},
        {"a cut pair is never applied", {2, 2, 40, 3, 60}, 1, {1, 1, 40, 1, 1}},
        {"count missing entirely", {2, 2, 40, 3}, 0, {1, 1, 40, 1, 1}},
        {"n itself cut", {5}, 8, {1, 1, 1, 1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Net::BitStream whole;
        whole.Write1();
        for (uint32_t w : c.words) whole.Write(w);
        const uint32_t bits = whole.GetNumberOfBitsUsed() - c.bitsCut;
        Net::BitStream in;
        in.WriteBits(whole.GetData(), bits);
        Inventory target;
        for (const BrickType& t : types) target.Add(t, 1);
        target.changed = false;
        target.Deserialize(&in);
        for (size_t i = 0; i < 5; ++i) EXPECT_EQ(target.GetCount(types[i]), c.expected[i]) << i;
        EXPECT_FALSE(target.changed);  // the reader leaves the flag alone
    }

    // The bit 0 reads nothing further.
    Net::BitStream zero;
    zero.Write0();
    zero.Write(uint32_t{1});
    Inventory untouched;
    untouched.Deserialize(&zero);
    EXPECT_EQ(zero.GetNumberOfUnreadBits(), 32u);
}
