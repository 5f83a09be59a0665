// The chunk-data message: layout, compression and the shared buffer.
#include <gtest/gtest.h>

#include <zlib.h>

#include <chrono>
#include <future>
#include <vector>

#include "world/ChunkMessage.h"
#include "world/ScratchBuffers.h"

namespace Tav {
namespace {

uint32_t U32At(const unsigned char* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

class ChunkMessageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { AllocateScratchBuffers(); }
    void TearDown() override {
        for (Chunk* c : chunks) FreeChunk(c);
    }
    Chunk* Make(int cx, int cy, int cz) {
        Chunk* c = AllocChunk();
        c->Init(cx, cy, cz);
        c->SetCell(1, 0, 0, 3, 17);
        c->SetCell(15, 15, 15, 0x0102, 0x27);
        chunks.push_back(c);
        return c;
    }
    static Net::BitStream Message(const std::vector<Chunk*>& set) {
        Net::BitStream body, out;
        for (const Chunk* c : set) AppendChunkEntry(*c, body);
        WriteChunkDataMessage(static_cast<uint32_t>(set.size()), body, out);
        return out;
    }
    std::vector<Chunk*> chunks;
};

TEST_F(ChunkMessageTest, OneChunkByteByByte) {
    Chunk* c = Make(-1, 2, 300);
    const Net::BitStream m = Message({c});
    const unsigned char* d = m.GetData();
    ASSERT_GT(m.GetNumberOfBytesUsed(), 13u);
    EXPECT_EQ(d[0], 132);
    EXPECT_EQ(U32At(d + 1), 1u);
    const uint32_t cl = U32At(d + 5);
    EXPECT_EQ(U32At(d + 9), 12300u);
    EXPECT_EQ(cl, m.GetNumberOfBytesUsed() - 13);
    EXPECT_LT(cl, 12300u);

    std::vector<unsigned char> raw(12300);
    uLongf n = 12300;
    ASSERT_EQ(uncompress(raw.data(), &n, d + 13, cl), Z_OK);
    ASSERT_EQ(n, 12300u);
    EXPECT_EQ(std::vector<unsigned char>(raw.begin(), raw.begin() + 12),
              (std::vector<unsigned char>{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 2, 0, 0, 0x01, 0x2C}));
    // Cell (1, 0, 0) is the 256th of the form; cell (15, 15, 15) the last.
    EXPECT_EQ(std::vector<unsigned char>(raw.begin() + 12 + 768, raw.begin() + 12 + 771),
              (std::vector<unsigned char>{0, 3, 17}));
    EXPECT_EQ(std::vector<unsigned char>(raw.end() - 3, raw.end()), (std::vector<unsigned char>{1, 2, 0x27}));

    std::vector<ChunkDataEntry> entries;
    ASSERT_TRUE(ReadChunkDataMessage(d, m.GetNumberOfBytesUsed(), entries));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].cz, 300);
    EXPECT_EQ(entries[0].cells, std::vector<unsigned char>(raw.begin() + 12, raw.end()));
}

TEST_F(ChunkMessageTest, EmptySetIsThirteenBytes) {
    const Net::BitStream m = Message({});
    EXPECT_EQ(std::vector<unsigned char>(m.GetData(), m.GetData() + m.GetNumberOfBytesUsed()),
              (std::vector<unsigned char>{132, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    std::vector<ChunkDataEntry> entries(3);
    EXPECT_TRUE(ReadChunkDataMessage(m.GetData(), m.GetNumberOfBytesUsed(), entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(ChunkMessageTest, ReaderRefusesBrokenMessages) {
    const Net::BitStream m = Message({Make(0, 0, 0), Make(1, 0, 0)});
    std::vector<unsigned char> good(m.GetData(), m.GetData() + m.GetNumberOfBytesUsed());
    std::vector<ChunkDataEntry> entries;
    ASSERT_TRUE(ReadChunkDataMessage(good.data(), good.size(), entries));
    EXPECT_EQ(entries.size(), 2u);

    auto with = [&](size_t at, unsigned char v) {
        std::vector<unsigned char> b = good;
        b[at] = v;
        return b;
    };
    const std::vector<std::vector<unsigned char>> bad = {
        std::vector<unsigned char>(good.begin(), good.end() - 1),  // truncated data
        with(0, 131),                                              // another message
        with(4, 3),                                                // count disagrees with RL
        with(9, 0x7F),                                             // RL far beyond the bound
        with(good.size() - 2, static_cast<unsigned char>(good[good.size() - 2] ^ 0xFF)),  // checksum
    };
    for (const auto& b : bad) EXPECT_FALSE(ReadChunkDataMessage(b.data(), b.size(), entries));
}

// With the shared buffer held by another thread, building a message never
// waits for it: a body too long for it (427 chunks) has a buffer of its own,
// and a short one (2 chunks) a room of the building thread's own.
TEST_F(ChunkMessageTest, NoMessageWaitsForTheSharedBufferHeldElsewhere) {
    for (const int count : {427, 2}) {
        SCOPED_TRACE(count);
        std::vector<Chunk*> set;
        for (int i = 0; i < count; ++i) set.push_back(Make(i, 0, 0));
        Net::BitStream body;
        for (const Chunk* c : set) AppendChunkEntry(*c, body);
        EXPECT_EQ(body.GetNumberOfBytesUsed() >= kCompressBufferSize, count == 427);

        Net::BitStream out;
        std::future<void> done;
        bool ready = false;
        {
            ScratchBufferLock held(ScratchBuffer::Compress);
            done = std::async(std::launch::async, [&] { WriteChunkDataMessage(uint32_t(count), body, out); });
            ready = done.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        }
        ASSERT_TRUE(ready);
        std::vector<ChunkDataEntry> entries;
        ASSERT_TRUE(ReadChunkDataMessage(out.GetData(), out.GetNumberOfBytesUsed(), entries));
        ASSERT_EQ(entries.size(), size_t(count));
        EXPECT_EQ(entries.back().cx, count - 1);
    }
}

}  // namespace
}  // namespace Tav
