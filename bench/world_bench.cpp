// Chunk generation, octree lookups and the serialised cell form.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "net/BitStream.h"
#include "tests/world/LiteralFitting.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/Octree.h"
#include "world/TerrainGenerator.h"

namespace {

using namespace Tav;

void Prepare() {
    BrickCatalogue::Build();
    TerrainGenerator::PrepareShapeTables();
    SimplexNoise::InitPermutations();
}

// Generates chunks of layer cy = 0 at changing coordinates (the ground layer,
// nearly all solid: the costliest layer to fit).
template <bool Literal>
void BM_GenerateGroundChunk(benchmark::State& state) {
    Prepare();
    Chunk* chunk = AllocChunk();
    int32_t i = 0;
    for (auto _ : state) {
        chunk->Init(i % 61 - 30, 0, i / 61 % 61 - 30);
        if (Literal) {
            TavTest::GenerateChunkLiteral(chunk);
        } else {
            TerrainGenerator::GenerateChunk(chunk);
        }
        benchmark::DoNotOptimize(chunk->cells);
        ++i;
    }
    FreeChunk(chunk);
}
BENCHMARK_TEMPLATE(BM_GenerateGroundChunk, false)->Name("GenerateChunk_cy0")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_GenerateGroundChunk, true)->Name("GenerateChunk_cy0_LiteralRescan")->Unit(benchmark::kMicrosecond);

// Only the fitting stage, on a freshly filled ground chunk each time.
template <bool Literal>
void BM_FitBricks(benchmark::State& state) {
    Prepare();
    Chunk* filled = AllocChunk();
    filled->Init(3, 0, -4);
    TerrainGenerator::GenerateChunk(filled);
    // Undo the fitting: every solid cell back to filler.
    for (Cell& c : filled->cells) {
        if (c.typeIndex != 0) c.typeIndex = 1;
    }
    Chunk* work = AllocChunk();
    const BrickCell* filler = TerrainGenerator::FindFiller();
    for (auto _ : state) {
        std::copy(std::begin(filled->cells), std::end(filled->cells), std::begin(work->cells));
        if (Literal) {
            TavTest::FitBricksLiteral(work, filler);
        } else {
            TerrainGenerator::FitBricks(work, filler);
        }
        benchmark::DoNotOptimize(work->cells);
    }
    FreeChunk(work);
    FreeChunk(filled);
}
BENCHMARK_TEMPLATE(BM_FitBricks, false)->Name("FitBricks")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_FitBricks, true)->Name("FitBricks_LiteralRescan")->Unit(benchmark::kMicrosecond);

// Lookups among 10000 loaded chunks, in a block around the origin as the
// chunk manager keeps them, at random keys that are all filed.
void BM_OctreeFind(benchmark::State& state) {
    OctreeNode* root = OctreeNode::AllocRoot();
    std::vector<Chunk*> chunks;
    std::vector<Vector3i> keys;
    for (int32_t x = -22; x < 23 && keys.size() < 10000; ++x)
        for (int32_t z = -22; z < 23 && keys.size() < 10000; ++z)
            for (int32_t y = 0; y < 5 && keys.size() < 10000; ++y) {
                Chunk* c = AllocChunk();
                c->cx = x;
                c->cy = y;
                c->cz = z;
                root->Insert(x, y, z, c);
                chunks.push_back(c);
                keys.emplace_back(x, y, z);
            }
    std::mt19937 rng(1);
    std::shuffle(keys.begin(), keys.end(), rng);
    size_t i = 0;
    for (auto _ : state) {
        const Vector3i& k = keys[i];
        benchmark::DoNotOptimize(root->Find(k.x, k.y, k.z));
        if (++i == keys.size()) i = 0;
    }
    state.counters["chunks"] = static_cast<double>(chunks.size());
    OctreeNode::ReleaseNode(root);
    for (Chunk* c : chunks) FreeChunk(c);
}
BENCHMARK(BM_OctreeFind)->Name("OctreeFind_10000");

void BM_Serialize(benchmark::State& state) {
    Prepare();
    Chunk* chunk = AllocChunk();
    chunk->Init(1, 0, 1);
    TerrainGenerator::GenerateChunk(chunk);
    Net::BitStream out;
    for (auto _ : state) {
        out.Reset();
        chunk->Serialize(out);
        benchmark::DoNotOptimize(out.GetData());
    }
    FreeChunk(chunk);
}
BENCHMARK(BM_Serialize)->Name("ChunkSerialize")->Unit(benchmark::kMicrosecond);

void BM_Deserialize(benchmark::State& state) {
    Prepare();
    Chunk* chunk = AllocChunk();
    chunk->Init(1, 0, 1);
    TerrainGenerator::GenerateChunk(chunk);
    Net::BitStream form;
    chunk->Serialize(form);
    for (auto _ : state) {
        Net::BitStream in(form.GetData(), form.GetNumberOfBytesUsed(), false);
        chunk->Deserialize(in);
        benchmark::DoNotOptimize(chunk->cells);
    }
    FreeChunk(chunk);
}
BENCHMARK(BM_Deserialize)->Name("ChunkDeserialize")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
