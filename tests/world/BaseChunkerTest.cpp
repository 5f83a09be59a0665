#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "world/BaseChunker.h"
#include "world/Chunk.h"
#include "world/Octree.h"

namespace Tav {
namespace {

using Clock = std::chrono::steady_clock;

// A worker whose step is given by the test.
class StepChunker : public BaseChunker {
public:
    explicit StepChunker(std::function<void(StepChunker&)> step) : step_(std::move(step)) {}
    ~StepChunker() override { Stop(); }
    void Update() override {
        ++updates;
        if (step_) step_(*this);
        std::this_thread::yield();
    }
    std::atomic<int> updates{0};

private:
    std::function<void(StepChunker&)> step_;
};

bool WaitFor(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(BaseChunker, WorkerLoopsFromStartToStop) {
    const size_t nodesBefore = OctreeNode::NodesInUse();
    StepChunker chunker(nullptr);
    EXPECT_FALSE(chunker.IsRunning());
    EXPECT_EQ(chunker.GetRoot(), nullptr);
    chunker.Start();
    EXPECT_TRUE(chunker.IsRunning());
    chunker.ReadCells([&] {
        ASSERT_NE(chunker.GetRoot(), nullptr);
        EXPECT_EQ(chunker.GetRoot()->minX, -24000);
        EXPECT_EQ(chunker.GetRoot()->maxY, 5);
    });
    chunker.Start();  // a second start changes nothing
    ASSERT_TRUE(WaitFor([&] { return chunker.updates.load() >= 3; }));
    chunker.Stop();
    const int after = chunker.updates.load();
    EXPECT_FALSE(chunker.IsRunning());
    EXPECT_EQ(chunker.GetRoot(), nullptr);
    EXPECT_EQ(chunker.updates.load(), after);
    EXPECT_EQ(OctreeNode::NodesInUse(), nodesBefore);
    chunker.Stop();  // stopping again is harmless
}

// The worker files chunks while another thread looks them up, both under the
// octree mutex; Stop then gives every chunk and node back.
TEST(BaseChunker, StopGivesBackEveryChunkOfTheTree) {
    const size_t chunksBefore = ChunksInUse();
    const size_t nodesBefore = OctreeNode::NodesInUse();
    constexpr int kChunks = 6000;
    std::atomic<int> filed{0};
    StepChunker chunker([&filed](StepChunker& self) {
        for (int i = 0; i < 50 && filed.load() < kChunks; ++i) {
            const int n = filed.load();
            Chunk* chunk = AllocChunk();
            chunk->Init(n % 100 - 50, n / 100 % 5, n / 500 - 6);
            self.ReadCells([&] { EXPECT_TRUE(self.GetRoot()->Insert(chunk->cx, chunk->cy, chunk->cz, chunk)); });
            filed.store(n + 1);
        }
    });
    chunker.Start();
    int found = 0;
    while (filed.load() < kChunks) {
        const int n = filed.load();
        if (n == 0) continue;
        const int k = n - 1;
        chunker.ReadCells([&] {
            Chunk* c = chunker.GetRoot()->Find(k % 100 - 50, k / 100 % 5, k / 500 - 6);
            if (c != nullptr && c->cz == k / 500 - 6) ++found;
        });
    }
    EXPECT_GT(found, 0);
    EXPECT_EQ(ChunksInUse(), chunksBefore + kChunks);
    chunker.Stop();
    EXPECT_EQ(ChunksInUse(), chunksBefore);
    EXPECT_EQ(OctreeNode::NodesInUse(), nodesBefore);
}

}  // namespace
}  // namespace Tav
