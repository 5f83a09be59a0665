#pragma once
#include <cstdint>

namespace Tav {

class Chunk;
struct BrickCell;

// Simplex noise over process-wide tables: the reference permutation of
// improved gradient noise, doubled to 512 entries, and its values modulo 12.
class SimplexNoise {
public:
    static uint8_t perm[512];
    static uint8_t permMod12[512];

    // Fills the tables (once; they are also filled before main runs).
    static void InitPermutations();
    // The terrain height noise: four octaves that all sample the same point,
    // 1.875 x S2(0.005 x, 0.005 y).
    static double Noise2(double x, double y);
    // One octave of two-dimensional simplex noise.
    static double Simplex2(double x, double y);
    // One octave of three-dimensional simplex noise, no input scale.
    static double Noise3(double x, double y, double z);
};

// One brick shape as the generator fits it: a copy of the shape's cell list
// and its bounding box.
struct FitShape {
    BrickCell** cells = nullptr;
    uint8_t count = 0;
    int32_t min[3] = {0, 0, 0};
    int32_t max[3] = {0, 0, 0};
};

// Fills new chunks: a height field decides which cells are solid, colour
// noise picks one of two colours per solid cell, and runs of one colour are
// merged into bricks layer by layer. No seed: the same coordinates always
// give the same cells.
class TerrainGenerator {
public:
    static constexpr int kShapeCount = 5;
    // In fitting order: 2 x 4 along x, 2 x 4 along z, 2 x 2, 1 x 2 along x, 1 x 2 along z.
    static FitShape shapes[kShapeCount];

    // Builds the five shape tables from the catalogue (which must be built).
    // A second call does nothing.
    static void PrepareShapeTables();
    static void FreeShapeTables();

    // Fills a chunk that Chunk::Init has given its coordinates (FillCells,
    // then FitBricks); clears its dirty flag.
    static void GenerateChunk(Chunk* chunk);

    // The first stage: every cell from the height field, solid cells as
    // filler in one of two colours of the colour noise, the others empty.
    static void FillCells(Chunk* chunk);
    // The brick-fitting stage: for each layer, passes over the five shapes
    // until a pass places nothing. A failed origin stays failed within its
    // layer (placing bricks only turns filler cells into brick cells, and
    // colours never change), so each shape's scan resumes where it stopped.
    static void FitBricks(Chunk* chunk, const BrickCell* filler);
    // Places one brick of the shape at the first origin of layer y, in scan
    // order (x ascending, then z ascending), where every shape cell is filler
    // of the colour of its first cell. True when it placed one.
    static bool FitShapeInLayer(int32_t y, Chunk* chunk, BrickCell* const* shape, uint8_t count,
                                int32_t minX, int32_t minY, int32_t minZ, int32_t maxX, int32_t maxY,
                                int32_t maxZ, const BrickCell* filler);

    // The filler record: the cell at offset (0, 0, 0) of the first type's
    // first shape; null when the catalogue is not built.
    static const BrickCell* FindFiller();
};

}  // namespace Tav
