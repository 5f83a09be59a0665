#include "world/BaseChunker.h"

#include <algorithm>
#include <functional>

namespace Tav {

BaseChunker::BaseChunker() = default;

BaseChunker::~BaseChunker() {
    // A derived chunker stops itself before its own part is gone; this only
    // catches one that did not, so that no worker runs on a dead object and
    // no chunk stays filed in a tree that nobody can reach.
    if (thread.joinable() || root != nullptr) Stop();
}

void BaseChunker::Start() {
    if (running.load() || thread.joinable()) return;
    {
        std::lock_guard<std::mutex> lock(octreeMutex);
        if (root == nullptr) root = OctreeNode::AllocRoot();
    }
    Starting();
    {
        std::lock_guard<std::mutex> lock(workerEndMutex);
        workerEnded = false;
    }
    running.store(true);
    thread = std::thread(&BaseChunker::ThreadMain, this);
}

void BaseChunker::ThreadMain() {
    while (running.load()) Update();
    WorkerLeaving();
    {
        std::lock_guard<std::mutex> lock(workerEndMutex);
        workerEnded = true;
    }
    workerEndChanged.notify_all();
}

void BaseChunker::Stop() { StopWithin(std::chrono::steady_clock::time_point::max()); }

bool BaseChunker::StopWithin(std::chrono::steady_clock::time_point deadline) {
    running.store(false);
    if (thread.joinable()) {
        if (thread.get_id() == std::this_thread::get_id()) {
            // Stop called from an update of the worker itself cannot wait for
            // it; the worker leaves its loop as soon as that update returns.
            thread.detach();
        } else {
            std::unique_lock<std::mutex> ended(workerEndMutex);
            if (deadline == std::chrono::steady_clock::time_point::max())
                workerEndChanged.wait(ended, [this] { return workerEnded; });
            else
                workerEndChanged.wait_until(ended, deadline, [this] { return workerEnded; });
            const bool left = !workerEnded;
            ended.unlock();
            if (left) {
                // Its step has not come back: the thread runs on (a later Stop
                // joins it), and nothing that it may touch is freed.
                if (root != nullptr) WorkerStopped(false);
                return false;
            }
            thread.join();
        }
    }

    // With the worker gone the derived manager may finish its own work on
    // the chunks (and forget its lists of them) before they are freed.
    if (root != nullptr) WorkerStopped(true);

    const std::unique_lock<std::mutex> edits = HoldEditsOff();
    std::lock_guard<std::mutex> teardown(teardownMutex);
    std::lock_guard<std::mutex> tree(octreeMutex);
    if (root == nullptr) return true;
    // The keys of the root's box all lie in this box; the list grows with the
    // number of chunks.
    std::vector<Chunk*> chunks;
    root->Collect(chunks, OctreeNode::kRootMinX, OctreeNode::kRootMaxX, -50, 50, OctreeNode::kRootMinZ,
                  OctreeNode::kRootMaxZ);
    // Highest address first: the pool keeps its free list in address order,
    // and this order keeps each return short.
    std::sort(chunks.begin(), chunks.end(), std::greater<Chunk*>());
    // A chunk filed under two keys is given back once.
    chunks.erase(std::unique(chunks.begin(), chunks.end()), chunks.end());
    for (Chunk* chunk : chunks) FreeChunk(chunk);
    OctreeNode::ReleaseNode(root);
    root = nullptr;
    return true;
}

}  // namespace Tav
