#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "net/BitStream.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "tests/world/LiteralFitting.h"
#include "world/PooledChunk.h"
#include "world/TerrainGenerator.h"

namespace Tav {
namespace {

class TerrainTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        BrickCatalogue::Build();
        TerrainGenerator::PrepareShapeTables();
        SimplexNoise::InitPermutations();
    }
    static void Generate(Chunk* c, int32_t cx, int32_t cy, int32_t cz, bool literal = false) {
        c->Init(cx, cy, cz);
        if (literal) {
            TavTest::GenerateChunkLiteral(c);
        } else {
            TerrainGenerator::GenerateChunk(c);
        }
    }
    // True when some shape could still be placed in some layer (checked on a copy).
    static bool AnyShapeStillFits(const Chunk& c) {
        PooledChunk copy;
        std::memcpy(copy->cells, c.cells, sizeof c.cells);
        for (int y = 0; y < 16; ++y) {
            for (const FitShape& s : TerrainGenerator::shapes) {
                if (TerrainGenerator::FitShapeInLayer(y, copy.chunk, s.cells, s.count, s.min[0], s.min[1], s.min[2],
                                                      s.max[0], s.max[1], s.max[2], TerrainGenerator::FindFiller())) {
                    return true;
                }
            }
        }
        return false;
    }
};

TEST_F(TerrainTest, PermutationTables) {
    EXPECT_EQ(SimplexNoise::perm[0], 151);
    EXPECT_EQ(SimplexNoise::perm[256], 151);
    EXPECT_EQ(SimplexNoise::perm[7], 13);
    EXPECT_EQ(SimplexNoise::perm[252], 215);
    EXPECT_EQ(SimplexNoise::perm[511], 180);
    EXPECT_EQ(SimplexNoise::permMod12[0], 7);
    EXPECT_EQ(SimplexNoise::permMod12[5], 3);
    std::set<int> values;
    for (int i = 0; i < 256; ++i) {
        values.insert(SimplexNoise::perm[i]);
        EXPECT_EQ(SimplexNoise::perm[i + 256], SimplexNoise::perm[i]);
        EXPECT_EQ(SimplexNoise::permMod12[i], SimplexNoise::perm[i] % 12);
    }
    EXPECT_EQ(values.size(), 256u);
}

TEST_F(TerrainTest, NoiseValues) {
    EXPECT_EQ(SimplexNoise::Simplex2(0, 0), 0.0);
    EXPECT_EQ(SimplexNoise::Noise2(0, 0), 0.0);
    EXPECT_EQ(SimplexNoise::Noise3(0, 0, 0), 0.0);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> coord(-5000, 5000);
    for (int i = 0; i < 200; ++i) {
        const double x = coord(rng);
        const double y = coord(rng);
        const double z = coord(rng);
        const double s2 = SimplexNoise::Simplex2(0.005 * x, 0.005 * y);
        EXPECT_NEAR(SimplexNoise::Noise2(x, y), 1.875 * s2, 1e-15);
        EXPECT_LE(std::fabs(s2), 1.0);
        EXPECT_LE(std::fabs(SimplexNoise::Noise3(x / 100, y / 100, z / 100)), 1.0);
    }
}

TEST_F(TerrainTest, ColumnAtTheOriginIsSolidUpToCell16) {
    PooledChunk low;
    PooledChunk high;
    Generate(low.chunk, 0, 0, 0);
    Generate(high.chunk, 0, 1, 0);
    // Local (0, 0) of chunk (0, 0) samples the height noise at (0, 0): height 16.0.
    for (int y = 0; y < 16; ++y) EXPECT_NE(low->GetCell(0, y, 0).typeIndex, 0) << y;
    EXPECT_NE(high->GetCell(0, 0, 0).typeIndex, 0);
    for (int y = 1; y < 16; ++y) {
        EXPECT_EQ(high->GetCell(0, y, 0).typeIndex, 0) << y;
        EXPECT_EQ(high->GetCell(0, y, 0).colour, 1) << y;
    }
}

TEST_F(TerrainTest, GeneratedChunksAreWellFormedAndRepeatable) {
    const Vector3i coords[] = {{0, 0, 0}, {-1, 0, -1}, {7, 0, -3}, {-120, 1, 45}, {3, 1, 3}, {-23999, 0, 23999},
                               {500, 2, -500}, {0, 4, 0}, {12, 0, 12}};
    for (const Vector3i& at : coords) {
        SCOPED_TRACE(at.ToString());
        PooledChunk a;
        PooledChunk b;
        Generate(a.chunk, at.x, at.y, at.z);
        Generate(b.chunk, at.x, at.y, at.z);
        EXPECT_EQ(std::memcmp(a->cells, b->cells, sizeof a->cells), 0);
        EXPECT_EQ(a->dirty, 0);
        uint32_t solid = 0;
        for (const Cell& cell : a->cells) {
            if (cell.typeIndex == 0) {
                ASSERT_EQ(cell.colour, 1);
            } else {
                ++solid;
                ASSERT_TRUE(cell.colour == 17 || cell.colour == 18) << int(cell.colour);
                // Only the filler and the cells of the five fitted shapes occur.
                ASSERT_LE(cell.typeIndex, 25);
            }
        }
        EXPECT_EQ(a->nonEmptyCount, solid);
        EXPECT_FALSE(AnyShapeStillFits(*a.chunk));
    }
}

// Every brick that fitting writes is whole: its cells lie at the offsets of
// one shape from one origin, in one colour.
TEST_F(TerrainTest, FittedBricksAreWhole) {
    PooledChunk c;
    Generate(c.chunk, 2, 0, -5);
    std::set<uint16_t> seen;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            for (int z = 0; z < 16; ++z) {
                const Cell& cell = c->GetCell(x, y, z);
                const BrickCell* r = CellTypeTable::Get(cell.typeIndex);
                if (r == nullptr || r->typeIndex == 1) continue;
                seen.insert(r->owner->owner->typeId);
                const int ox = x - r->dx;
                const int oz = z - r->dz;
                for (const BrickCell* other : r->owner->cells) {
                    const Cell& o = c->GetCell(ox + other->dx, y, oz + other->dz);
                    ASSERT_EQ(o.typeIndex, other->typeIndex);
                    ASSERT_EQ(o.colour, cell.colour);
                }
            }
        }
    }
    EXPECT_TRUE(seen.count(3));
}

// The resuming scan gives exactly the literal rescan's cells.
TEST_F(TerrainTest, FittingMatchesTheLiteralRescan) {
    std::vector<Vector3i> coords;
    for (int32_t x = -6; x <= 6; x += 3)
        for (int32_t z = -6; z <= 6; z += 4)
            for (int32_t y = 0; y < 3; ++y) coords.emplace_back(x * 37, y, z * 53);
    coords.emplace_back(-24000, 0, -24000);
    coords.emplace_back(23999, 1, 23999);
    for (const Vector3i& at : coords) {
        PooledChunk fast;
        PooledChunk literal;
        Generate(fast.chunk, at.x, at.y, at.z);
        Generate(literal.chunk, at.x, at.y, at.z, true);
        ASSERT_EQ(std::memcmp(fast->cells, literal->cells, sizeof fast->cells), 0) << at.ToString();
        ASSERT_EQ(fast->nonEmptyCount, literal->nonEmptyCount);
    }
    // Random patches of filler in two colours among other cells: the
    // orders of placement must agree too.
    const BrickCell* filler = TerrainGenerator::FindFiller();
    std::mt19937 rng(99);
    for (int round = 0; round < 40; ++round) {
        PooledChunk fast;
        PooledChunk literal;
        for (Cell& cell : fast->cells) {
            const uint32_t r = rng() % 10;
            cell.typeIndex = r < 8 ? 1 : static_cast<uint16_t>(r == 8 ? 0 : 30);
            cell.colour = static_cast<uint8_t>(r % 3 == 0 || round % 2 ? 17 : 18);
        }
        std::memcpy(literal->cells, fast->cells, sizeof fast->cells);
        TerrainGenerator::FitBricks(fast.chunk, filler);
        TavTest::FitBricksLiteral(literal.chunk, filler);
        ASSERT_EQ(std::memcmp(fast->cells, literal->cells, sizeof fast->cells), 0) << round;
    }
}

// A full layer of one colour: a pass places one brick of each shape, each
// at the first origin (x, then z ascending) where it still fits.
TEST_F(TerrainTest, APassPlacesOneBrickOfEachShapeInOrder) {
    PooledChunk c;
    for (int x = 0; x < 16; ++x)
        for (int z = 0; z < 16; ++z) c->SetCell(x, 0, z, 1, 17);
    const BrickCell* filler = TerrainGenerator::FindFiller();
    for (const FitShape& s : TerrainGenerator::shapes) {
        ASSERT_TRUE(TerrainGenerator::FitShapeInLayer(0, c.chunk, s.cells, s.count, s.min[0], s.min[1], s.min[2],
                                                      s.max[0], s.max[1], s.max[2], filler));
    }
    struct Expect {
        int x, z;
        uint16_t index;
    };
    const Expect cells[] = {
        {0, 0, 13}, {3, 1, 14},  // 2 x 4 along x at origin (1, 0): x 0..3, z 0..1
        {0, 2, 25}, {1, 5, 18},  // 2 x 4 along z at origin (0, 3): x 0..1, z 2..5
        {0, 6, 7},  {1, 7, 8},   // 2 x 2 at origin (0, 6)
        {0, 8, 3},  {1, 8, 2},   // 1 x 2 along x at origin (0, 8)
        {0, 9, 5},  {0, 10, 4},  // 1 x 2 along z at origin (0, 9)
        {4, 0, 1},  {2, 2, 1},  {0, 11, 1},
    };
    for (const Expect& e : cells) {
        EXPECT_EQ(c->GetCell(e.x, 0, e.z).typeIndex, e.index) << e.x << "," << e.z;
        EXPECT_EQ(c->GetCell(e.x, 0, e.z).colour, 17);
    }
    // A cell of another colour, or one that is not filler, blocks an origin.
    PooledChunk d;
    for (int x = 0; x < 16; ++x)
        for (int z = 0; z < 16; ++z) d->SetCell(x, 0, z, 1, 17);
    d->SetCell(2, 0, 0, 1, 18);
    d->SetCell(1, 0, 3, 26, 17);
    const FitShape& along = TerrainGenerator::shapes[0];
    ASSERT_TRUE(TerrainGenerator::FitShapeInLayer(0, d.chunk, along.cells, along.count, along.min[0], along.min[1],
                                                  along.min[2], along.max[0], along.max[1], along.max[2], filler));
    // Origins (1..3, 0) hold the other colour; z 1 works: cells x 0..3, z 1..2.
    EXPECT_EQ(d->GetCell(0, 0, 1).typeIndex, 13);
    EXPECT_EQ(d->GetCell(0, 0, 0).typeIndex, 1);
    TerrainGenerator::FitBricks(d.chunk, filler);
    EXPECT_FALSE(AnyShapeStillFits(*d.chunk));
}

// Generated cells are stored beside cells generated later, by other builds
// of the server: the noise must come out bit for bit the same. These pinned
// values change with any constant, any reordered operation, and with
// contracted multiply-adds.
TEST_F(TerrainTest, PinnedValuesDoNotDrift) {
    EXPECT_EQ(SimplexNoise::Noise2(123.4, -567.8), -0x1.fd91c14a651adp-1);
    EXPECT_EQ(SimplexNoise::Noise2(-3.3, 7.7), 0x1.11546413a9875p-3);
    EXPECT_EQ(SimplexNoise::Noise2(40000.5, -12.25), 0x1.cee957a2ff6cfp-2);
    EXPECT_EQ(SimplexNoise::Noise3(1.1, 2.2, -3.3), -0x1.c89b81114e723p-1);
    EXPECT_EQ(SimplexNoise::Noise3(-0.37, 0.91, 12.5), 0x1.81fc13e71ef43p-2);
    EXPECT_EQ(SimplexNoise::Noise3(100.01, -250.5, 3.75), -0x1.19b3d9aae72f9p-2);

    struct Case {
        Vector3i at;
        uint64_t fnv1a;  // of the serialised cell form
        uint32_t nonEmpty;
    };
    const Case cases[] = {
        {{0, 0, 0}, 0x8F858B3AFC9CD8E6ull, 4048},      {{-7, 0, 13}, 0xA3371629AD62CC1Full, 4096},
        {{-23999, 0, 23999}, 0x9441D382B6C369E2ull, 3584}, {{-40, 1, 17}, 0xD3DBA330D7657B4Aull, 2560},
        {{100, 1, 100}, 0x0D190594A5CE1EF7ull, 2477},
    };
    for (const Case& c : cases) {
        PooledChunk chunk;
        Generate(chunk.chunk, c.at.x, c.at.y, c.at.z);
        Net::BitStream form;
        chunk->Serialize(form);
        uint64_t h = 1469598103934665603ull;
        for (size_t i = 0; i < form.GetNumberOfBytesUsed(); ++i) {
            h ^= form.GetData()[i];
            h *= 1099511628211ull;
        }
        EXPECT_EQ(h, c.fnv1a) << c.at.ToString();
        EXPECT_EQ(chunk->nonEmptyCount, c.nonEmpty) << c.at.ToString();
    }
}

}  // namespace
}  // namespace Tav
