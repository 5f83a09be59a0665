#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net/BitStream.h"
#include "world/Chunk.h"
#include "world/PooledChunk.h"

namespace Tav {
namespace {

std::vector<unsigned char> SerializedBytes(const Chunk& chunk) {
    Net::BitStream out;
    chunk.Serialize(out);
    return std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
}

void FillRandom(Chunk& chunk, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int x = 0; x < 16; ++x)
        for (int y = 0; y < 16; ++y)
            for (int z = 0; z < 16; ++z)
                chunk.SetCell(x, y, z, static_cast<uint16_t>(rng() % 3 == 0 ? 0 : rng() % 65536),
                              static_cast<uint8_t>(rng()));
}

uint32_t CountNonEmpty(const Chunk& chunk) {
    uint32_t n = 0;
    for (const Cell& c : chunk.cells) n += c.typeIndex != 0;
    return n;
}

TEST(Chunk, ConstructionAndInit) {
    PooledChunk c;
    EXPECT_EQ(c->position, Vector3(0, 0, 0));
    EXPECT_EQ(c->nonEmptyCount, 0u);
    EXPECT_EQ(c->dirty, 0);
    EXPECT_EQ((Vector3i{c->cx, c->cy, c->cz}), Vector3i(0, 0, 0));
    for (const Cell& cell : c->cells) ASSERT_TRUE(cell.typeIndex == 0 && cell.colour == 0);

    c->SetCell(3, 4, 5, 9, 9);
    c->dirty = 0;
    c->Init(-1, 0, 2);
    EXPECT_EQ(c->position, Vector3(-12.800000190734863, 0, 25.600000381469727));
    EXPECT_EQ(Chunk::PositionOf(0, 3, 0).y, 3 * 15.359999656677246);
    EXPECT_EQ(c->Coordinates(), Vector3i(-1, 0, 2));
    EXPECT_EQ(c->GetCell(3, 4, 5).typeIndex, 0);
    EXPECT_EQ(c->dirty, 0);
    EXPECT_EQ(Chunk::CellIndex(1, 2, 3), (2 * 16 + 3) * 16 + 1);
}

TEST(Chunk, SetCellKeepsTheCountAndMarksDirty) {
    PooledChunk c;
    struct Step {
        uint16_t index;
        uint32_t count;
    };
    // Empty -> 0, empty -> set, set -> other, set -> 0, 0 -> 0.
    const Step steps[] = {{0, 0}, {5, 1}, {7, 1}, {0, 0}, {0, 0}};
    for (const Step& s : steps) {
        c->dirty = 0;
        c->SetCell(15, 15, 15, s.index, 200);
        EXPECT_EQ(c->nonEmptyCount, s.count) << s.index;
        EXPECT_EQ(c->dirty, 1);
        EXPECT_EQ(c->GetCell(15, 15, 15).typeIndex, s.index);
        EXPECT_EQ(c->GetCell(15, 15, 15).colour, 200);
    }
}

TEST(Chunk, SerializedFormRunsXThenYThenZBigEndian) {
    PooledChunk c;
    c->SetCell(1, 0, 0, 3, 17);
    c->SetCell(0, 0, 1, 0x1234, 0xAB);
    c->SetCell(0, 1, 0, 0xFFFF, 1);
    const std::vector<unsigned char> bytes = SerializedBytes(*c.chunk);
    ASSERT_EQ(bytes.size(), 12288u);
    // x = 0: bytes 0..767; z is innermost, then y.
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 3, bytes.begin() + 6),
              (std::vector<unsigned char>{0x12, 0x34, 0xAB}));
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 48, bytes.begin() + 51),
              (std::vector<unsigned char>{0xFF, 0xFF, 0x01}));
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + 768, bytes.begin() + 771),
              (std::vector<unsigned char>{0x00, 0x03, 0x11}));
    size_t nonZero = 0;
    for (unsigned char b : bytes) nonZero += b != 0;
    EXPECT_EQ(nonZero, 2u + 3u + 3u);
    // Written after what the stream already holds.
    Net::BitStream out;
    out.Write(static_cast<uint8_t>(0x7F));
    c->Serialize(out);
    ASSERT_EQ(out.GetNumberOfBytesUsed(), 12289u);
    EXPECT_EQ(out.GetData()[0], 0x7F);
    EXPECT_EQ(out.GetData()[771], 0x11);
}

TEST(Chunk, DeserializeRestoresCellsAndRecounts) {
    PooledChunk source;
    FillRandom(*source.chunk, 7);
    Net::BitStream stream;
    source->Serialize(stream);

    PooledChunk target;
    target->Init(4, 2, -3);
    target->nonEmptyCount = 999;
    target->position = Vector3(1, 1, 1);
    target->dirty = 1;
    target->Deserialize(stream);
    EXPECT_EQ(std::memcmp(target->cells, source->cells, sizeof target->cells), 0);
    EXPECT_EQ(target->nonEmptyCount, CountNonEmpty(*source.chunk));
    EXPECT_EQ(target->position, Chunk::PositionOf(4, 2, -3));
    EXPECT_EQ(target->dirty, 1);
    EXPECT_EQ(stream.GetNumberOfUnreadBits(), 0u);

    // Exactly 100 non-zero indices give a count of 100 whatever it was.
    std::vector<unsigned char> bytes(12288, 0);
    for (int i = 0; i < 100; ++i) bytes[i * 3 * 40 + 1] = 1;
    Net::BitStream hundred(bytes.data(), bytes.size(), false);
    target->nonEmptyCount = 5;
    target->Deserialize(hundred);
    EXPECT_EQ(target->nonEmptyCount, 100u);
    EXPECT_EQ(CountNonEmpty(*target.chunk), 100u);
}

TEST(Chunk, ShortStreamsLeaveIndicesAndZeroColours) {
    PooledChunk c;
    FillRandom(*c.chunk, 11);
    Cell before[kChunkCells];
    std::memcpy(before, c->cells, sizeof before);

    Net::BitStream empty;
    c->Deserialize(empty);
    for (int i = 0; i < kChunkCells; ++i) {
        ASSERT_EQ(c->cells[i].typeIndex, before[i].typeIndex) << i;
        ASSERT_EQ(c->cells[i].colour, 0) << i;
    }
    EXPECT_EQ(c->nonEmptyCount, CountNonEmpty(*c.chunk));

    // Four bytes: the first cell reads 3; the second cell's index read fails
    // and its colour read takes the last byte.
    const unsigned char four[] = {0x00, 0x00, 0x05, 0x09};
    Net::BitStream shortStream(four, sizeof four, false);
    c->Deserialize(shortStream);
    EXPECT_EQ(c->GetCell(0, 0, 0).typeIndex, 0);
    EXPECT_EQ(c->GetCell(0, 0, 0).colour, 5);
    EXPECT_EQ(c->GetCell(0, 0, 1).typeIndex, before[Chunk::CellIndex(0, 0, 1)].typeIndex);
    EXPECT_EQ(c->GetCell(0, 0, 1).colour, 9);
    EXPECT_EQ(c->GetCell(0, 0, 2).colour, 0);
    EXPECT_EQ(c->nonEmptyCount, CountNonEmpty(*c.chunk));
}

TEST(Chunk, LocateCellFloorsXZAndTruncatesY) {
    struct Case {
        Vector3i cell;
        Vector3i chunk;
        Vector3i local;
        bool inChunk;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 0, 0}, {8, 0, 8}, true},
        {{-8, 15, -9}, {0, 0, -1}, {0, 15, 15}, true},
        {{7, 16, 8}, {0, 1, 1}, {15, 0, 0}, true},
        {{-9, 79, -24}, {-1, 4, -1}, {15, 15, 0}, true},
        {{-25, 5, 23}, {-2, 0, 1}, {15, 5, 15}, true},
        {{0, -1, 0}, {0, 0, 0}, {8, -1, 8}, false},
        {{0, -15, 0}, {0, 0, 0}, {8, -15, 8}, false},
        {{0, -16, 0}, {0, -1, 0}, {8, 0, 8}, true},
        {{INT32_MAX, INT32_MAX, INT32_MIN}, {134217728, 134217727, -134217728}, {7, 15, 8}, true},
    };
    for (const Case& c : cases) {
        const CellLocation loc = LocateCell(c.cell);
        EXPECT_EQ(loc.chunk, c.chunk) << c.cell.ToString();
        EXPECT_EQ(loc.local, c.local) << c.cell.ToString();
        EXPECT_EQ(loc.InChunk(), c.inChunk) << c.cell.ToString();
        EXPECT_EQ(WorldCellToChunk(c.cell), c.chunk);
    }
    const CellLocation loc = LocateCell(-9, 3, 7);
    EXPECT_EQ(LocalCellIndex(loc), Chunk::CellIndex(15, 3, 15));
}

// Seed files are read relative to the working directory: each test runs in
// a fresh folder of its own.
class ChunkSeedFile : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/tav-seed-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        old_ = std::filesystem::current_path();
        std::filesystem::create_directory(dir_ / "test");
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    static void Write(const std::string& name, const std::string& head, const std::vector<unsigned char>& data) {
        std::ofstream f("test/" + name, std::ios::binary);
        f << head;
        f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    std::filesystem::path dir_;
    std::filesystem::path old_;
};

TEST_F(ChunkSeedFile, CountThenBytesLoadCells) {
    PooledChunk source;
    FillRandom(*source.chunk, 3);
    const std::vector<unsigned char> bytes = SerializedBytes(*source.chunk);
    Write("0,0,0.dat", "12288", bytes);
    Write("3,0,-2.dat", "  \n12288", bytes);
    for (const Vector3i at : {Vector3i(0, 0, 0), Vector3i(3, 0, -2)}) {
        PooledChunk c;
        c->Init(at.x, at.y, at.z);
        EXPECT_EQ(std::memcmp(c->cells, source->cells, sizeof c->cells), 0) << at.ToString();
        EXPECT_EQ(c->nonEmptyCount, CountNonEmpty(*source.chunk));
    }
}

TEST_F(ChunkSeedFile, ASeparatorAfterTheCountIsTheFirstDataByte) {
    std::vector<unsigned char> bytes(12288, 0);
    bytes[0] = 0x00;
    bytes[1] = 0x07;
    bytes[2] = 0x21;
    Write("0,0,0.dat", "12288\n", bytes);
    PooledChunk c;
    c->Init(0, 0, 0);
    // Everything lands one byte later: cell 0 reads 0A 00 as its index and 07 as its colour.
    EXPECT_EQ(c->GetCell(0, 0, 0).typeIndex, 0x0A00);
    EXPECT_EQ(c->GetCell(0, 0, 0).colour, 0x07);
    EXPECT_EQ(c->GetCell(0, 0, 1).typeIndex, 0x2100);
}

TEST_F(ChunkSeedFile, MissingUnreadableOrShortFilesKeepWhatTheChunkHas) {
    std::vector<unsigned char> bytes(12288, 0);
    bytes[1] = 4;
    bytes[2] = 6;
    Write("1,0,0.dat", "abc", bytes);              // no count
    Write("2,0,0.dat", "6", bytes);                // two cells only
    Write("4,0,0.dat", "99999999999999999999", bytes);  // a count far beyond the data
    PooledChunk none;
    none->Init(9, 0, 9);
    for (const Cell& cell : none->cells) ASSERT_TRUE(cell.typeIndex == 0 && cell.colour == 0);
    PooledChunk bad;
    bad->Init(1, 0, 0);
    for (const Cell& cell : bad->cells) ASSERT_TRUE(cell.typeIndex == 0 && cell.colour == 0);
    PooledChunk partial;
    partial->Init(2, 0, 0);
    EXPECT_EQ(partial->GetCell(0, 0, 0).typeIndex, 4);
    EXPECT_EQ(partial->GetCell(0, 0, 0).colour, 6);
    EXPECT_EQ(partial->nonEmptyCount, 1u);
    PooledChunk huge;
    huge->Init(4, 0, 0);
    EXPECT_EQ(huge->GetCell(0, 0, 0).typeIndex, 4);
    EXPECT_EQ(huge->nonEmptyCount, 1u);
}

TEST(ChunkPool, ThreadsShareThePool) {
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &bad] {
            std::vector<Chunk*> mine;
            for (int i = 0; i < 200; ++i) {
                Chunk* c = AllocChunk();
                if (c->nonEmptyCount != 0 || c->dirty != 0) ++bad;
                c->Init(t, 0, i);
                c->SetCell(0, 0, 0, 1, 1);
                mine.push_back(c);
                if (i % 3 == 0) {
                    FreeChunk(mine.front());
                    mine.erase(mine.begin());
                }
            }
            for (Chunk* c : mine) FreeChunk(c);
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(bad.load(), 0);
    FreeChunk(nullptr);
}

}  // namespace
}  // namespace Tav
