// Storing the chunks that one brick edit touches: each chunk is compressed,
// framed, encoded and written with its own INSERT OR REPLACE, all of them in
// one transaction (one commit per edit, as ServerChunker::SaveChunks does)
// into a world.db on local disk. The parts of that road are measured
// separately so that the time can be placed.
//
// The database lives in a fresh folder under TAV_BENCH_DIR, or under the
// working directory when that is unset.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "world/ChunkStoreCodec.h"
#include "world/ScratchBuffers.h"
#include "world/sql/SqlDatabase.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Cells as the terrain generator leaves them: x outermost, ground up to a
// varying height, air (colour 1) above.
Bytes TerrainCells(int seed)
{
    Bytes out;
    out.reserve(Tav::kStoredChunkRawLength);
    for (int x = 0; x < 16; ++x)
        for (int y = 0; y < 16; ++y)
            for (int z = 0; z < 16; ++z) {
                const int height = 5 + ((x * 7 + z * 3 + seed * 11) >> 2) % 6;
                const int type = y < height ? 1 + (x * z + y + seed) % 4 : 0;
                out.push_back(0);
                out.push_back(static_cast<unsigned char>(type));
                out.push_back(static_cast<unsigned char>(type ? (x + z + seed) % 12 : 1));
            }
    return out;
}

class BenchDatabase {
public:
    BenchDatabase()
    {
        const char* base = std::getenv("TAV_BENCH_DIR");
        std::string pattern =
            ((base ? std::filesystem::path(base) : std::filesystem::current_path()) / "store-bench-XXXXXX").string();
        if (!mkdtemp(&pattern[0]))
            std::abort();
        m_dir = pattern;
        db.Open((m_dir / "world.db").string().c_str());
        db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    }
    ~BenchDatabase()
    {
        db.Close();
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    Tav::SqlDatabase db;

private:
    std::filesystem::path m_dir;
};

struct Buffers {
    Buffers() { Tav::AllocateScratchBuffers(); }
    ~Buffers() { Tav::FreeScratchBuffers(); }
};

// The whole store of 1, 2 or 4 touched chunks.
void BM_StoreTouchedChunks(benchmark::State& state)
{
    Buffers buffers;
    BenchDatabase store;
    const int count = static_cast<int>(state.range(0));
    std::vector<Bytes> chunks;
    for (int i = 0; i < count; ++i)
        chunks.push_back(TerrainCells(i));
    int edit = 0;
    std::vector<Tav::SqlBuffer> statements(static_cast<size_t>(count));
    for (auto _ : state) {
        for (int i = 0; i < count; ++i) {
            chunks[i][3 * (edit % 4096) + 1] ^= 1;  // every store writes changed cells
            Tav::FormatChunkRowStatement(statements[i], i - 1, 0, 12, chunks[i].data(), chunks[i].size());
        }
        if (Tav::StoreRows(store.db, statements, Tav::StoreMode::AllOrNothing).count != statements.size())
            state.SkipWithError("a row was not stored");
        ++edit;
    }
    state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_StoreTouchedChunks)->Arg(1)->Arg(2)->Arg(4)->Unit(benchmark::kMillisecond)->UseRealTime();

// Its parts, per chunk.
void BM_CompressAndFrame(benchmark::State& state)
{
    Buffers buffers;
    const Bytes raw = TerrainCells(1);
    std::size_t framedSize = 0;
    for (auto _ : state) {
        const Bytes framed = Tav::FrameChunkData(raw.data(), raw.size());
        framedSize = framed.size();
        benchmark::DoNotOptimize(framed.data());
    }
    state.counters["framed_bytes"] = static_cast<double>(framedSize);
}
BENCHMARK(BM_CompressAndFrame)->Unit(benchmark::kMicrosecond);

void BM_EncodeAndFormat(benchmark::State& state)
{
    Buffers buffers;
    const Bytes raw = TerrainCells(1);
    const Bytes framed = Tav::FrameChunkData(raw.data(), raw.size());
    std::string text(Tav::SqlEncodedBufferSize(framed.size()), '\0');
    for (auto _ : state) {
        const int length = Tav::SqlEncodeBinary(framed.data(), static_cast<int>(framed.size()),
                                                reinterpret_cast<unsigned char*>(&text[0]));
        Tav::SqlBuffer statement;
        benchmark::DoNotOptimize(Tav::FormatChunkStoreStatement(statement, -1, 0, 12, text.c_str()));
        benchmark::DoNotOptimize(length);
    }
}
BENCHMARK(BM_EncodeAndFormat)->Unit(benchmark::kMicrosecond);

void BM_StatementCommit(benchmark::State& state)
{
    Buffers buffers;
    BenchDatabase store;
    const Bytes raw = TerrainCells(1);
    const std::string text = Tav::EncodeChunkRow(raw.data(), raw.size());
    Tav::SqlBuffer statement;
    Tav::FormatChunkStoreStatement(statement, -1, 0, 12, text.c_str());
    for (auto _ : state)
        store.db.ExecDml(statement);
}
BENCHMARK(BM_StatementCommit)->Unit(benchmark::kMillisecond)->UseRealTime();

// Loading one stored chunk back (query, decode, decompress).
void BM_LoadChunk(benchmark::State& state)
{
    Buffers buffers;
    BenchDatabase store;
    const Bytes raw = TerrainCells(1);
    Tav::StoreChunkRow(store.db, -1, 0, 12, raw.data(), raw.size());
    Bytes out;
    std::string error;
    for (auto _ : state) {
        if (Tav::LoadChunkRow(store.db, -1, 0, 12, Tav::kStoredChunkRawLength, out, error) !=
            Tav::ChunkRowStatus::Loaded)
            state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_LoadChunk)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
