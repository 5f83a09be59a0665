#include "net/BitStream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

using Net::BitStream;

namespace {

std::vector<unsigned char> Bytes(const BitStream& s) {
    return std::vector<unsigned char>(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed());
}

// Writes `lead` single bits (alternating 1, 0, ...) so that what follows
// starts at that bit offset.
void WriteLead(BitStream& s, unsigned lead) {
    for (unsigned i = 0; i < lead; ++i) s.WriteBit(i % 2 == 0);
}

}  // namespace

TEST(BitStream, WireFormIsBigEndianAndMostSignificantBitFirst) {
    struct Case {
        const char* what;
        void (*write)(BitStream&);
        std::vector<unsigned char> bytes;
        Net::BitSize bits;
    };
    const Case cases[] = {
        {"u16", [](BitStream& s) { s.Write(uint16_t{0x1234}); }, {0x12, 0x34}, 16},
        {"i32 -2", [](BitStream& s) { s.Write(int32_t{-2}); }, {0xFF, 0xFF, 0xFF, 0xFE}, 32},
        {"u64", [](BitStream& s) { s.Write(uint64_t{0x0102030405060708ull}); },
         {1, 2, 3, 4, 5, 6, 7, 8}, 64},
        {"double 1.0", [](BitStream& s) { s.Write(1.0); }, {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}, 64},
        {"float -2.0", [](BitStream& s) { s.Write(-2.0f); }, {0xC0, 0, 0, 0}, 32},
        {"bits 101", [](BitStream& s) { s.Write1(); s.Write0(); s.Write1(); }, {0xA0}, 3},
        // 1 then 0001 0010 0011 0100: 1000 1001 0001 1010 0...
        {"bit then u16", [](BitStream& s) { s.Write1(); s.Write(uint16_t{0x1234}); }, {0x89, 0x1A, 0x00}, 17},
        {"13 bits", [](BitStream& s) { const unsigned char d[] = {0xAB, 0xFF}; s.WriteBits(d, 13); },
         {0xAB, 0xF8}, 13},
    };
    for (const Case& c : cases) {
        BitStream s;
        c.write(s);
        EXPECT_EQ(Bytes(s), c.bytes) << c.what;
        EXPECT_EQ(s.GetNumberOfBitsUsed(), c.bits) << c.what;
    }
}

TEST(BitStream, EveryItemRoundTripsAtEveryBitOffset) {
    for (unsigned lead = 0; lead < 8; ++lead) {
        BitStream s;
        WriteLead(s, lead);
        s.Write(uint8_t{0xFE});
        s.Write(int8_t{-7});
        s.Write(uint16_t{0xBEEF});
        s.Write(int16_t{-12345});
        s.Write(uint32_t{0xDEADBEEF});
        s.Write(int32_t{std::numeric_limits<int32_t>::min()});
        s.Write(uint64_t{0xFFFFFFFFFFFFFFFEull});
        s.Write(int64_t{-5});
        s.Write(3.25f);
        s.Write(-1e300);
        s.Write1();
        const unsigned char raw[] = {0x81, 0x42, 0xC3};
        s.WriteBytes(raw, sizeof raw);
        s.WriteBits(raw, 11);
        s.Write0();

        for (unsigned i = 0; i < lead; ++i) {
            bool b;
            ASSERT_TRUE(s.ReadBit(b));
            EXPECT_EQ(b, i % 2 == 0);
        }
        uint8_t u8; int8_t i8; uint16_t u16; int16_t i16; uint32_t u32; int32_t i32;
        uint64_t u64; int64_t i64; float f; double d; bool one, zero;
        unsigned char rawBack[3], bitsBack[2];
        ASSERT_TRUE(s.Read(u8) && s.Read(i8) && s.Read(u16) && s.Read(i16) && s.Read(u32) && s.Read(i32) &&
                    s.Read(u64) && s.Read(i64) && s.Read(f) && s.Read(d) && s.ReadBit(one) &&
                    s.ReadBytes(rawBack, 3) && s.ReadBits(bitsBack, 11) && s.ReadBit(zero))
            << "lead " << lead;
        EXPECT_EQ(u8, 0xFE);
        EXPECT_EQ(i8, -7);
        EXPECT_EQ(u16, 0xBEEF);
        EXPECT_EQ(i16, -12345);
        EXPECT_EQ(u32, 0xDEADBEEFu);
        EXPECT_EQ(i32, std::numeric_limits<int32_t>::min());
        EXPECT_EQ(u64, 0xFFFFFFFFFFFFFFFEull);
        EXPECT_EQ(i64, -5);
        EXPECT_EQ(f, 3.25f);
        EXPECT_EQ(d, -1e300);
        EXPECT_TRUE(one);
        EXPECT_FALSE(zero);
        EXPECT_EQ(0, std::memcmp(rawBack, raw, 3));
        EXPECT_EQ(bitsBack[0], 0x81);
        EXPECT_EQ(bitsBack[1], 0x40);  // the 3 bits of 0x42 that were written, low bits cleared
        EXPECT_EQ(s.GetNumberOfUnreadBits(), 0u);
    }
}

TEST(BitStream, ReadsPastTheEndFailAndChangeNothing) {
    BitStream s;
    s.Write1();
    s.Write(uint16_t{0xABCD});  // 17 bits
    ASSERT_TRUE(s.IgnoreBits(1));
    const Net::BitSize at = s.GetReadOffset();

    uint32_t u32 = 7;
    int64_t i64 = 7;
    double d = 7.5;
    unsigned char bytes[3] = {9, 9, 9};
    EXPECT_FALSE(s.Read(u32));
    EXPECT_FALSE(s.Read(i64));
    EXPECT_FALSE(s.Read(d));
    EXPECT_FALSE(s.ReadBytes(bytes, 3));
    EXPECT_FALSE(s.ReadBits(bytes, 17));
    EXPECT_FALSE(s.IgnoreBits(17));
    EXPECT_FALSE(s.IgnoreBytes(3));
    EXPECT_FALSE(s.IgnoreBytes(std::numeric_limits<size_t>::max()));
    EXPECT_EQ(u32, 7u);
    EXPECT_EQ(i64, 7);
    EXPECT_EQ(d, 7.5);
    EXPECT_EQ(bytes[0], 9);
    EXPECT_EQ(s.GetReadOffset(), at);

    uint16_t u16 = 0;
    ASSERT_TRUE(s.Read(u16));
    EXPECT_EQ(u16, 0xABCD);
    bool b = true;
    EXPECT_FALSE(s.ReadBit(b));
    EXPECT_TRUE(b);

    BitStream empty;
    uint8_t u8 = 3;
    EXPECT_FALSE(empty.Read(u8));
    EXPECT_EQ(u8, 3);
}

TEST(BitStream, LargeStreamsCopyMoveAndCompare) {
    BitStream s;
    s.Write1();  // everything after is misaligned by one bit
    for (uint32_t i = 0; i < 5000; ++i) s.Write(i);
    EXPECT_EQ(s.GetNumberOfBitsUsed(), 1u + 5000u * 32u);

    BitStream copy(s);
    EXPECT_TRUE(copy.ContentEquals(s));
    BitStream assigned;
    assigned.Write(uint8_t{1});
    assigned = s;
    EXPECT_TRUE(assigned.ContentEquals(s));
    BitStream moved(std::move(assigned));
    EXPECT_TRUE(moved.ContentEquals(s));
    EXPECT_EQ(assigned.GetNumberOfBitsUsed(), 0u);

    bool first;
    ASSERT_TRUE(moved.ReadBit(first));
    for (uint32_t i = 0; i < 5000; ++i) {
        uint32_t v;
        ASSERT_TRUE(moved.Read(v));
        ASSERT_EQ(v, i);
    }

    // One flipped bit, or one bit more, makes the contents differ.
    BitStream other(s);
    other.SetReadOffset(0);
    BitStream flipped;
    flipped.Write0();
    for (uint32_t i = 0; i < 5000; ++i) flipped.Write(i);
    EXPECT_FALSE(flipped.ContentEquals(s));
    other.Write0();
    EXPECT_FALSE(other.ContentEquals(s));

    // Appending a stream to itself doubles it.
    BitStream twice;
    twice.WriteBit(true);
    twice.Write(uint16_t{0x0F0F});
    twice.WriteStream(twice);
    EXPECT_EQ(twice.GetNumberOfBitsUsed(), 34u);
    bool b;
    uint16_t v;
    ASSERT_TRUE(twice.ReadBit(b) && twice.Read(v));
    EXPECT_TRUE(b);
    EXPECT_EQ(v, 0x0F0F);
    ASSERT_TRUE(twice.ReadBit(b) && twice.Read(v));
    EXPECT_TRUE(b);
    EXPECT_EQ(v, 0x0F0F);
}

TEST(BitStream, ReadsCallerBytesInPlaceOrByCopy) {
    unsigned char buffer[] = {0x00, 0x00, 0x01, 0x02};
    BitStream inPlace(buffer, sizeof buffer, false);
    BitStream copied(buffer, sizeof buffer, true);
    EXPECT_EQ(inPlace.GetData(), buffer);
    EXPECT_NE(copied.GetData(), buffer);
    EXPECT_EQ(inPlace.GetNumberOfBitsUsed(), 32u);

    buffer[3] = 0x03;  // seen in place, not by the copy
    uint32_t a = 0, b = 0;
    ASSERT_TRUE(inPlace.Read(a));
    ASSERT_TRUE(copied.Read(b));
    EXPECT_EQ(a, 0x0103u);
    EXPECT_EQ(b, 0x0102u);

    // Writing to an in-place stream never writes the caller's memory.
    inPlace.Write(uint8_t{0xFF});
    EXPECT_EQ(buffer[3], 0x03);
    EXPECT_EQ(inPlace.GetNumberOfBytesUsed(), 5u);
    uint8_t tail = 0;
    ASSERT_TRUE(inPlace.Read(tail));
    EXPECT_EQ(tail, 0xFF);

    // Large in-place input also moves to a buffer of its own when written.
    std::vector<unsigned char> big(1000, 0x5A);
    BitStream bigStream(big.data(), big.size(), false);
    bigStream.Write1();
    EXPECT_NE(bigStream.GetData(), big.data());
    EXPECT_EQ(bigStream.GetNumberOfBitsUsed(), 8001u);
    EXPECT_EQ(bigStream.GetData()[999], 0x5A);
    EXPECT_EQ(big[999], 0x5A);

    inPlace.Reset();
    EXPECT_EQ(inPlace.GetNumberOfBitsUsed(), 0u);
    inPlace.Write(uint16_t{1});
    EXPECT_EQ(buffer[0], 0x00);
    EXPECT_EQ(buffer[1], 0x00);

    BitStream none(nullptr, 0, false);
    uint8_t u = 0;
    EXPECT_FALSE(none.Read(u));
}
