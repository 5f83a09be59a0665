// The 45-chunk spawn block (chunk x and z -1 to 1, y 0 to 4) asked for in one
// request, measured from the worker step that takes it to the finished
// chunk-data message: cold (every chunk generated), stored (every chunk loaded
// from world.db) and warm (every chunk resident), and the stages on their own.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "world/BrickCatalogue.h"
#include "world/ChunkMessage.h"
#include "world/ChunkStoreCodec.h"
#include "world/ScratchBuffers.h"
#include "world/ServerChunker.h"
#include "world/TerrainGenerator.h"

namespace {

using Clock = std::chrono::steady_clock;

// Builds the message as the server does, without sending it.
class MessageHost : public Tav::IChunkHost {
public:
    void SendChunks(const Tav::TouchedSet& chunks, const Net::AddressOrGuid&, int, bool) override {
        Net::BitStream body;
        const uint32_t count = chunker->AppendShownEntries(chunks, body);
        Net::BitStream message;
        Tav::WriteChunkDataMessage(count, body, message);
        lastBytes = message.GetNumberOfBytesUsed();
        lastCount = count;
    }
    void SendChunkEntries(uint32_t count, const Net::BitStream& body, const Net::AddressOrGuid&, int,
                          bool) override {
        Net::BitStream message;
        Tav::WriteChunkDataMessage(count, body, message);
        lastBytes = message.GetNumberOfBytesUsed();
        lastCount = count;
    }
    void SpawnPlayer(Net::Guid, const Tav::Vector3&) override {}
    void CollectScriptGarbage() override {}
    void UpdateHeldItems(double) override {}
    void ForEachPlayerPosition(const std::function<void(const Tav::Vector3&)>& visit) override {
        visit(Tav::Vector3(0, 0, 0));
    }
    Tav::ServerChunker* chunker = nullptr;
    size_t lastBytes = 0;
    size_t lastCount = 0;
};

class IdleChunker : public Tav::ServerChunker {
public:
    IdleChunker(Tav::IChunkHost* host, const std::string& file) : ServerChunker(nullptr, host, file) { Start(); }
    ~IdleChunker() override { Stop(); }
    void Update() override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
};

std::vector<Tav::Vector3i> SpawnBlock() {
    std::vector<Tav::Vector3i> block;
    for (int x = -1; x <= 1; ++x)
        for (int z = -1; z <= 1; ++z)
            for (int y = 0; y <= 4; ++y) block.push_back({x, y, z});
    return block;
}

struct Setup {
    Setup() {
        Tav::BrickCatalogue::Build();
        Tav::TerrainGenerator::PrepareShapeTables();
        Tav::SimplexNoise::InitPermutations();
        Tav::AllocateScratchBuffers();
        char pattern[] = "/tmp/tav-bench-XXXXXX";
        dir = mkdtemp(pattern);
    }
    ~Setup() { std::filesystem::remove_all(dir); }
    std::string File(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};
Setup& Env() {
    static Setup setup;
    return setup;
}

Tav::ChunkRequest BlockRequest() {
    Tav::ChunkRequest r;
    r.coordinates = SpawnBlock();
    r.target = Net::AddressOrGuid(Net::Guid(1));
    return r;
}

double Answer(Tav::ServerChunker& chunker) {
    chunker.QueueChunkRequest(BlockRequest());
    const auto start = Clock::now();
    chunker.ProcessQueues();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void BM_SpawnBlockCold(benchmark::State& state) {
    MessageHost host;
    for (auto _ : state) {
        std::filesystem::remove(Env().File("cold.db"));
        IdleChunker chunker(&host, Env().File("cold.db"));
        host.chunker = &chunker;
        state.SetIterationTime(Answer(chunker));
    }
    state.counters["chunks"] = static_cast<double>(host.lastCount);
    state.counters["message_bytes"] = static_cast<double>(host.lastBytes);
}
BENCHMARK(BM_SpawnBlockCold)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SpawnBlockStored(benchmark::State& state) {
    MessageHost host;
    const std::string file = Env().File("stored.db");
    {
        // Every chunk of the block has a row, as after edits everywhere.
        std::filesystem::remove(file);
        IdleChunker chunker(&host, file);
        Tav::TouchedSet all;
        for (const auto& c : SpawnBlock()) all.insert(chunker.GetChunk(c.x, c.y, c.z));
        chunker.SaveChunks(all, Tav::StoreMode::AllOrNothing);
    }
    for (auto _ : state) {
        IdleChunker chunker(&host, file);
        host.chunker = &chunker;
        state.SetIterationTime(Answer(chunker));
    }
}
BENCHMARK(BM_SpawnBlockStored)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_SpawnBlockWarm(benchmark::State& state) {
    MessageHost host;
    std::filesystem::remove(Env().File("warm.db"));
    IdleChunker chunker(&host, Env().File("warm.db"));
    host.chunker = &chunker;
    Answer(chunker);
    for (auto _ : state) state.SetIterationTime(Answer(chunker));
}
BENCHMARK(BM_SpawnBlockWarm)->UseManualTime()->Unit(benchmark::kMillisecond);

// Stages on their own: generation of the 45 chunks, ...
void BM_StageGenerate45(benchmark::State& state) {
    std::vector<Tav::Chunk*> chunks;
    for (int i = 0; i < 45; ++i) chunks.push_back(Tav::AllocChunk());
    const auto block = SpawnBlock();
    for (auto _ : state)
        for (size_t i = 0; i < block.size(); ++i) {
            chunks[i]->Init(block[i].x, block[i].y, block[i].z);
            Tav::TerrainGenerator::GenerateChunk(chunks[i]);
        }
    for (Tav::Chunk* c : chunks) Tav::FreeChunk(c);
}
BENCHMARK(BM_StageGenerate45)->Unit(benchmark::kMillisecond);

// ... the 45 lookups in an empty table, ...
void BM_StageMissingRows45(benchmark::State& state) {
    std::filesystem::remove(Env().File("empty.db"));
    Tav::SqlDatabase db;
    db.Open(Env().File("empty.db").c_str());
    db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    std::vector<unsigned char> raw;
    std::string error;
    for (auto _ : state)
        for (const auto& c : SpawnBlock()) Tav::LoadChunkRow(db, c.x, c.y, c.z, 12288, raw, error);
}
BENCHMARK(BM_StageMissingRows45)->Unit(benchmark::kMillisecond);

// ... and building the message of the non-empty chunks of the block:
// serialisation alone (0), serialisation and compression (1).
void BM_StageMessage(benchmark::State& state) {
    std::vector<Tav::Chunk*> chunks;
    for (const auto& c : SpawnBlock()) {
        Tav::Chunk* chunk = Tav::AllocChunk();
        chunk->Init(c.x, c.y, c.z);
        Tav::TerrainGenerator::GenerateChunk(chunk);
        if (chunk->nonEmptyCount) chunks.push_back(chunk); else Tav::FreeChunk(chunk);
    }
    const bool compress = state.range(0) != 0;
    for (auto _ : state) {
        Net::BitStream body, message;
        for (const Tav::Chunk* c : chunks) Tav::AppendChunkEntry(*c, body);
        if (compress) Tav::WriteChunkDataMessage(static_cast<uint32_t>(chunks.size()), body, message);
        benchmark::DoNotOptimize(body.GetData());
        benchmark::DoNotOptimize(message.GetData());
    }
    state.counters["chunks"] = static_cast<double>(chunks.size());
    for (Tav::Chunk* c : chunks) Tav::FreeChunk(c);
}
BENCHMARK(BM_StageMessage)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
