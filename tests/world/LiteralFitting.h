#pragma once
// The brick fitting read most literally: every pass scans each shape's
// origins from the first again. TerrainGenerator::FitBricks resumes each
// scan where it stopped instead; this is the yardstick that the terrain test
// (same cells) and the world benchmark (speed) compare it with.
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/TerrainGenerator.h"

namespace TavTest {

inline void FitBricksLiteral(Tav::Chunk* chunk, const Tav::BrickCell* filler) {
    using Tav::TerrainGenerator;
    for (int32_t y = 0; y < 16; ++y) {
        bool placed;
        do {
            placed = false;
            for (const Tav::FitShape& s : TerrainGenerator::shapes) {
                if (TerrainGenerator::FitShapeInLayer(y, chunk, s.cells, s.count, s.min[0], s.min[1], s.min[2],
                                                      s.max[0], s.max[1], s.max[2], filler)) {
                    placed = true;
                }
            }
        } while (placed);
    }
}

// TerrainGenerator::GenerateChunk with the literal fitting.
inline void GenerateChunkLiteral(Tav::Chunk* chunk) {
    using Tav::TerrainGenerator;
    if (TerrainGenerator::shapes[0].cells == nullptr) TerrainGenerator::PrepareShapeTables();
    TerrainGenerator::FillCells(chunk);
    FitBricksLiteral(chunk, TerrainGenerator::FindFiller());
    chunk->dirty = 0;
}

}  // namespace TavTest
