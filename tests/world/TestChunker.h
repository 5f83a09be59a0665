#pragma once
// A chunk manager over a real database file whose worker idles, so that a
// test drives it (ProcessQueues, GetChunk, edits) from its own thread. Final:
// its worker starts in the constructor, which must be the last to run.
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "world/Octree.h"
#include "world/ServerChunker.h"

namespace Tav {

class TestChunker final : public ServerChunker {
public:
    explicit TestChunker(const std::string& file, IChunkHost* host = nullptr, uint32_t limit = kEvictionLimit)
        : ServerChunker(nullptr, host, file, limit) {
        Start();
    }
    ~TestChunker() override { Stop(); }
    void Update() override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

    // Files a chunk in the octree by hand (it is not in the loaded list, so
    // eviction never sees it; Stop gives it back).
    bool File(Chunk* chunk) {
        return ReadCells([&] { return GetRoot()->Insert(chunk->cx, chunk->cy, chunk->cz, chunk); });
    }
    bool IsFiled(int cx, int cy, int cz) {
        return ReadCells([&] { return GetRoot()->Find(cx, cy, cz) != nullptr; });
    }
};

}  // namespace Tav
