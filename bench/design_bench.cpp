// Design import: parsing a generated LXFML document of 10000 bricks against
// pugixml's own load of the same text, the parser's worst cases within its
// bounds, and stamping that design into 64 loaded chunks with the store of
// the touched chunks. The store goes through the chunk manager's store
// thread as the server's import does (one transaction for the import's
// chunks, awaited), set against one commit per chunk and against the target's
// yardstick: one chunk's commit plus the compression of the 64.
//
// The database lives in a fresh folder under TAV_BENCH_DIR, or under the
// working directory when that is unset. Run with 2>/dev/null: the parser
// writes its line to the debugger output on every call.

#include <benchmark/benchmark.h>

#include <pugixml.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "world/BrickCatalogue.h"
#include "world/ChunkStoreCodec.h"
#include "world/ColourTable.h"
#include "world/Lxfml.h"
#include "world/ScratchBuffers.h"
#include "world/ServerChunker.h"
#include "world/sql/SqlDatabase.h"

namespace {

constexpr int kBricks = 10000;

void Prepare()
{
    static std::once_flag once;
    std::call_once(once, [] {
        Tav::BrickCatalogue::Build();
        Tav::ColourTable::Build();
        Tav::AllocateScratchBuffers();
    });
}

std::string Number(double v)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", v);
    return text;
}

// 10000 bricks of four types, each in a 2 x 2-cell slot of its own, three
// layers of 64 x 64 slots over cells -8 to 119 in x and z: chunks 0 to 7 on x
// and z of layer 0, 64 chunks. Written the way a design tool writes them.
const std::string& GeneratedDesign()
{
    static const std::string text = [] {
        struct Kind {
            int design;
            const char* rotation;
            double offsetX, offsetZ;  // in cells
        };
        const Kind kinds[] = {
            {3005, "1,0,0,0,1,0,0,0,1", 0.5, 0.5},
            {3004, "1,0,0,0,1,0,0,0,1", 0.5, 0.5},
            {3003, "1,0,0,0,1,0,0,0,1", 0.5, 1.5},
            {3040, "1,0,0,0,1,0,0,0,1", 0.5, 0.5},
            {3004, "0,0,1,0,1,0,-1,0,0", 0.5, 0.5},
        };
        const int materials[] = {21, 1, 199, 23, 24, 28, 154};
        const double w = static_cast<double>(0.8f), h = static_cast<double>(0.96f);
        std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n"
                        "<LXFML versionMajor=\"5\" versionMinor=\"0\" name=\"Generated\">\n"
                        "  <Meta><Application name=\"bench\" versionMajor=\"1\" versionMinor=\"0\"/></Meta>\n"
                        "  <Bricks cameraRef=\"0\">\n";
        for (int i = 0; i < kBricks; ++i) {
            const Kind& k = kinds[i % 5];
            const int slot = i % 4096, layer = i / 4096;
            const int x = -8 + 2 * (slot % 64), z = -8 + 2 * (slot / 64), y = layer;
            const std::string id = std::to_string(i);
            s += "    <Brick refID=\"" + id + "\" designID=\"" + std::to_string(k.design) + "\">\n";
            s += "      <Part refID=\"" + id + "\" designID=\"" + std::to_string(k.design) + "\" materials=\"" +
                 std::to_string(materials[i % 7]) + ",0\">\n";
            s += "        <Bone refID=\"" + id + "\" transformation=\"" + k.rotation + "," +
                 Number((x + k.offsetX) * w) + "," + Number(y * h) + "," + Number((z + k.offsetZ) * w) +
                 "\">\n        </Bone>\n      </Part>\n    </Brick>\n";
        }
        s += "  </Bricks>\n</LXFML>\n";
        return s;
    }();
    return text;
}

void BM_PugixmlLoadAlone(benchmark::State& state)
{
    const std::string& text = GeneratedDesign();
    for (auto _ : state) {
        pugi::xml_document doc;
        benchmark::DoNotOptimize(doc.load_buffer(text.data(), text.size()));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_PugixmlLoadAlone)->Unit(benchmark::kMillisecond);

void BM_ParseLxfml(benchmark::State& state)
{
    Prepare();
    const std::string& text = GeneratedDesign();
    size_t bricks = 0;
    for (auto _ : state) {
        Tav::LxfmlDesign design;
        Tav::ParseLxfml(text, Tav::Vector3i(), design);
        bricks = design.bricks.size();
    }
    if (bricks != size_t(kBricks)) state.SkipWithError("not every brick was read");
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
    state.counters["bricks"] = double(bricks);
}
BENCHMARK(BM_ParseLxfml)->Unit(benchmark::kMillisecond);

std::string Repeat(const std::string& piece, size_t n)
{
    std::string out;
    out.reserve(piece.size() * n);
    for (size_t i = 0; i < n; ++i) out += piece;
    return out;
}

// What the parser may be made to do within its bounds, and what it refuses,
// each against pugixml's own load of the same text.
std::string HostileText(int64_t which, std::string& label)
{
    switch (which) {
    case 0:  // Bricks nested just within the query bound: each walks all below it
        label = "nested Bricks at the bound";
        return Repeat("<Brick>", 1448) + Repeat("</Brick>", 1448);
    case 1:  // one level further than allowed: refused after the count
        label = "nested Bricks refused";
        return Repeat("<Brick>", 1449) + Repeat("</Brick>", 1449);
    case 2:  // the most bricks a design may have, each with its parts
        label = "20000 bricks";
        return "<LXFML>" +
               Repeat("<Brick designID=\"3005\"><Part materials=\"21\"><Bone transformation=\"1,0,0,0,1,0,0,0,1,"
                      "0.4,0,0.4\"/></Part></Brick>",
                      Tav::kMaxLxfmlBricks) +
               "</LXFML>";
    case 3:  // deep nesting without bricks, up to the text bound
        label = "500000 levels deep";
        return Repeat("<a>", 500000) + Repeat("</a>", 500000);
    default:  // the longest text, of the smallest elements
        label = "4 MiB of empty elements";
        return "<LXFML>" + Repeat("<a/>", (Tav::kMaxLxfmlTextBytes - 20) / 4) + "</LXFML>";
    }
}

void BM_ParseHostile(benchmark::State& state)
{
    Prepare();
    std::string label;
    const std::string text = HostileText(state.range(0), label);
    state.SetLabel(label);
    for (auto _ : state) {
        Tav::LxfmlDesign design;
        benchmark::DoNotOptimize(Tav::ParseLxfml(text, Tav::Vector3i(), design));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_ParseHostile)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

void BM_PugixmlLoadHostile(benchmark::State& state)
{
    std::string label;
    const std::string text = HostileText(state.range(0), label);
    state.SetLabel(label);
    for (auto _ : state) {
        pugi::xml_document doc;
        benchmark::DoNotOptimize(doc.load_buffer(text.data(), text.size()));
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_PugixmlLoadHostile)->DenseRange(0, 4)->Unit(benchmark::kMillisecond);

// A chunk manager on a database of its own whose worker idles, with the 64
// chunks of the generated design loaded and empty.
class StampingWorld {
public:
    StampingWorld()
    {
        Prepare();
        const char* base = std::getenv("TAV_BENCH_DIR");
        std::string pattern =
            ((base ? std::filesystem::path(base) : std::filesystem::current_path()) / "design-bench-XXXXXX").string();
        if (!mkdtemp(&pattern[0])) std::abort();
        dir_ = pattern;
        chunker = std::make_unique<Idle>((dir_ / "world.db").string());
        for (int x = 0; x < 8; ++x)
            for (int z = 0; z < 8; ++z) chunker->CreateChunk(x, 0, z, [](Tav::Chunk&) {});
        Tav::ParseLxfml(GeneratedDesign(), Tav::Vector3i(), design);
    }
    ~StampingWorld()
    {
        chunker.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }

    class Idle : public Tav::ServerChunker {
    public:
        explicit Idle(const std::string& file) : ServerChunker(nullptr, nullptr, file) { Start(); }
        ~Idle() override { Stop(); }
        void Update() override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
    };

    std::unique_ptr<Idle> chunker;
    Tav::LxfmlDesign design;

private:
    std::filesystem::path dir_;
};

// Stamping the design and storing the 64 chunks it touches, as an import
// does, until the store thread has stored them.
void BM_StampAndStore(benchmark::State& state)
{
    StampingWorld world;
    size_t chunks = 0;
    for (auto _ : state) {
        Tav::TouchedSet touched;
        {
            Tav::ServerChunker::EditScope edit(*world.chunker);
            world.chunker->PlaceDesignAndSave(edit, touched, world.design, Tav::Vector3i(0, 0, 0));
        }
        world.chunker->AwaitStores();  // the store thread stores it
        chunks = touched.size();
        state.PauseTiming();
        {
            Tav::ServerChunker::EditScope edit(*world.chunker);
            Tav::TouchedSet removed;
            world.chunker->RemoveDesignAndSave(edit, removed, world.design, Tav::Vector3i(0, 0, 0));
        }
        world.chunker->AwaitStores();
        state.ResumeTiming();
    }
    state.counters["chunks"] = double(chunks);
}
BENCHMARK(BM_StampAndStore)->Unit(benchmark::kMillisecond)->UseRealTime();

// The cells alone: the same placements without the store.
void BM_StampCellsOnly(benchmark::State& state)
{
    StampingWorld world;
    const Tav::Vector3i excluded(0, 0, 0);
    for (auto _ : state) {
        Tav::TouchedSet touched;
        {
            Tav::ServerChunker::EditScope edit(*world.chunker);
            for (const Tav::LxfmlBrick& b : world.design.bricks)
                edit.PlaceBrick(excluded, excluded, *b.shape, b.colour, Tav::Vector3i(b.x, b.y, b.z), &touched, false);
        }
        state.PauseTiming();
        {
            Tav::ServerChunker::EditScope edit(*world.chunker);
            for (const Tav::LxfmlBrick& b : world.design.bricks)
                edit.RemoveBrickAt(Tav::Vector3i(b.x, b.y, b.z), nullptr);
        }
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StampCellsOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

// The world with the design stamped and its store done: the 64 chunks that
// it touched, for the store's parts. Nothing of the chunk manager's runs any
// more when it returns.
Tav::TouchedSet StampedChunks(StampingWorld& world)
{
    Tav::TouchedSet touched;
    {
        Tav::ServerChunker::EditScope edit(*world.chunker);
        world.chunker->PlaceDesignAndSave(edit, touched, world.design, Tav::Vector3i(0, 0, 0));
    }
    world.chunker->AwaitStores();
    return touched;
}

// Queues the chunks to be stored as one edit, the way a design import queues
// its chunks, and waits until the store thread has committed them.
void StoreAsOneEdit(StampingWorld& world, const Tav::TouchedSet& chunks)
{
    {
        Tav::ServerChunker::EditScope edit(*world.chunker);
        edit.Store(chunks, Tav::StoreMode::UpToFailure);
    }
    world.chunker->AwaitStores();
}

// Every store of a benchmark must have succeeded, and each iteration must have
// taken the transactions it is meant to measure.
void CheckStores(benchmark::State& state, StampingWorld& world, uint64_t transactionsBefore, double perIteration)
{
    if (world.chunker->UnstoredCount() != 0) state.SkipWithError("a store failed");
    const double transactions = double(world.chunker->StoreTransactions() - transactionsBefore);
    state.counters["transactions"] = benchmark::Counter(transactions, benchmark::Counter::kAvgIterations);
    if (state.iterations() > 0 && transactions != perIteration * double(state.iterations()))
        state.SkipWithError("the stores did not take the transactions meant");
}

// The import's store as the server makes it: the 64 chunks queued as one
// edit, stored by the store thread in one transaction, awaited.
void BM_ImportStore64(benchmark::State& state)
{
    StampingWorld world;
    const Tav::TouchedSet chunks = StampedChunks(world);
    const uint64_t before = world.chunker->StoreTransactions();
    for (auto _ : state) StoreAsOneEdit(world, chunks);
    state.counters["chunks"] = double(chunks.size());
    CheckStores(state, world, before, 1);
}
BENCHMARK(BM_ImportStore64)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same 64 chunks with one commit each: each queued alone and awaited
// before the next, so that each is a transaction of its own.
void BM_Store64OneCommitEach(benchmark::State& state)
{
    StampingWorld world;
    const Tav::TouchedSet chunks = StampedChunks(world);
    const uint64_t before = world.chunker->StoreTransactions();
    for (auto _ : state)
        for (Tav::Chunk* chunk : chunks) StoreAsOneEdit(world, Tav::TouchedSet{chunk});
    CheckStores(state, world, before, double(chunks.size()));
}
BENCHMARK(BM_Store64OneCommitEach)->Unit(benchmark::kMillisecond)->UseRealTime();

// The 64 chunks' cell forms, for their compression alone.
std::vector<std::vector<unsigned char>> CellsOf(const Tav::TouchedSet& chunks)
{
    std::vector<std::vector<unsigned char>> cells;
    for (const Tav::Chunk* c : chunks) {
        Net::BitStream out;
        c->Serialize(out);
        cells.emplace_back(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
    }
    return cells;
}

// The target's yardstick: one chunk's commit through the store thread plus the
// compression of all 64.
void BM_OneCommitPlus64Compressions(benchmark::State& state)
{
    StampingWorld world;
    const Tav::TouchedSet chunks = StampedChunks(world);
    const auto cells = CellsOf(chunks);
    const Tav::TouchedSet one{*chunks.begin()};
    const uint64_t before = world.chunker->StoreTransactions();
    for (auto _ : state) {
        for (const auto& c : cells) benchmark::DoNotOptimize(Tav::EncodeChunkRow(c.data(), c.size()));
        StoreAsOneEdit(world, one);
    }
    CheckStores(state, world, before, 1);
}
BENCHMARK(BM_OneCommitPlus64Compressions)->Unit(benchmark::kMillisecond)->UseRealTime();

// The target itself: the import's store and the yardstick, taken in turn in
// each iteration on the same database, so that both meet the same disk. The
// time is the import's store; "ratio" is its total over the yardstick's
// (the target: at most 3).
void BM_ImportStoreOverYardstick(benchmark::State& state)
{
    using Clock = std::chrono::steady_clock;
    StampingWorld world;
    const Tav::TouchedSet chunks = StampedChunks(world);
    const auto cells = CellsOf(chunks);
    const Tav::TouchedSet one{*chunks.begin()};
    const uint64_t before = world.chunker->StoreTransactions();
    double import = 0, yardstick = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (const auto& c : cells) benchmark::DoNotOptimize(Tav::EncodeChunkRow(c.data(), c.size()));
        StoreAsOneEdit(world, one);
        const auto middle = Clock::now();
        StoreAsOneEdit(world, chunks);
        const auto end = Clock::now();
        yardstick += std::chrono::duration<double>(middle - start).count();
        import += std::chrono::duration<double>(end - middle).count();
        state.SetIterationTime(std::chrono::duration<double>(end - middle).count());
    }
    state.counters["ratio"] = yardstick > 0 ? import / yardstick : 0;
    CheckStores(state, world, before, 2);
}
BENCHMARK(BM_ImportStoreOverYardstick)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
