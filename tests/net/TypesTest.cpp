#include "net/Types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Net::BitStream;
using Net::Guid;
using Net::String;
using Net::SystemAddress;

TEST(Guid, TextIsDecimalAndUint32FoldsTheHalves) {
    EXPECT_EQ(Guid(0).ToString(), "0");
    EXPECT_EQ(Guid(12345678901234567890ull).ToString(), "12345678901234567890");
    EXPECT_EQ(Net::UNASSIGNED_GUID.ToString(), "18446744073709551615");
    EXPECT_TRUE(Net::UNASSIGNED_GUID.IsUnassigned());
    EXPECT_EQ(Guid(0x1234567800FF00FFull).ToUint32(), 0x1234567800FF00FFull >> 32 ^ 0x00FF00FFu);
}

TEST(SystemAddress, TextFormsAndParsing) {
    const SystemAddress a(0x7F000001u, 37373);
    EXPECT_EQ(a.ToString(false), "127.0.0.1");
    EXPECT_EQ(a.ToString(), "127.0.0.1|37373");
    EXPECT_EQ(a.ToString(true, ':'), "127.0.0.1:37373");
    EXPECT_EQ(SystemAddress(0xFFFFFFFFu, 0).ToString(false), "255.255.255.255");

    struct Case {
        const char* text;
        bool ok;
        uint32_t address;
    };
    const Case cases[] = {
        {"10.0.200.3", true, 0x0A00C803u}, {"0.0.0.0", true, 0},
        {"1.2.3", false, 0},               {"1.2.3.4.5", false, 0},
        {"256.1.1.1", false, 0},           {"1.2.3.4 ", false, 0},
        {"", false, 0},                    {"a.b.c.d", false, 0},
        {"1..3.4", false, 0},              {"0001.2.3.4", false, 0},
        {"localhost", false, 0},
    };
    for (const Case& c : cases) {
        SystemAddress s(0x01020304u, 9);
        EXPECT_EQ(s.FromString(c.text, 77), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(s, SystemAddress(c.address, 77)) << c.text;
        } else {
            EXPECT_EQ(s, SystemAddress(0x01020304u, 9)) << c.text;
        }
    }
    SystemAddress s;
    EXPECT_FALSE(s.FromString(nullptr, 1));
    EXPECT_TRUE(s.IsUnassigned());
}

TEST(String, SerialisedFormIsBigEndianCountThenBytes) {
    BitStream s;
    String("Player").Serialize(&s);
    const std::vector<unsigned char> expected = {0x00, 0x06, 'P', 'l', 'a', 'y', 'e', 'r'};
    EXPECT_EQ(std::vector<unsigned char>(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed()), expected);

    // Round trip behind a single bit, embedded zero byte included.
    BitStream t;
    t.Write1();
    const std::string withZero("a\0b", 3);
    String(withZero).Serialize(&t);
    String("").Serialize(&t);
    bool bit;
    String back("x"), empty("y");
    ASSERT_TRUE(t.ReadBit(bit));
    ASSERT_TRUE(back.Deserialize(&t));
    ASSERT_TRUE(empty.Deserialize(&t));
    EXPECT_EQ(back.Str(), withZero);
    EXPECT_EQ(empty.GetLength(), 0u);

    // Longer texts are cut to 65535 bytes.
    BitStream l;
    String(std::string(70000, 'z')).Serialize(&l);
    EXPECT_EQ(l.GetNumberOfBytesUsed(), 2u + 65535u);
    String longBack;
    ASSERT_TRUE(longBack.Deserialize(&l));
    EXPECT_EQ(longBack.GetLength(), 65535u);
}

TEST(String, IncompleteFormFailsWithoutChange) {
    const std::vector<std::vector<unsigned char>> inputs = {
        {},                       // nothing
        {0x00},                   // half a count
        {0xFF, 0xFF, 'a', 'b'},   // claims 65535 bytes, holds 2
        {0x00, 0x03, 'a', 'b'},   // one byte short
    };
    for (const auto& in : inputs) {
        BitStream s(in.data(), in.size(), false);
        String str("kept");
        EXPECT_FALSE(str.Deserialize(&s)) << in.size();
        EXPECT_EQ(str, "kept");
        EXPECT_EQ(s.GetReadOffset(), 0u);
    }
}
