#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "math/Vector3i.h"
#include "world/Chunk.h"
#include "world/IBoxOccupancy.h"
#include "world/Octree.h"

namespace Tav {

struct BrickCell;
struct BrickShape;

// The base of the chunk manager: the octree of loaded chunks and the chunk
// worker thread, which calls Update while running is set.
//
// Locking: every access to the octree and to the cells of the chunks filed in
// it, on every thread, holds octreeMutex. Code outside the chunk manager
// reaches it only through IsBoxOccupied, ReadCells and the chunk manager's
// edit scope (ServerChunker::EditScope). Stop holds what HoldEditsOff gives
// (the chunk manager's residency), teardownMutex, then octreeMutex, while it
// dismantles the tree, so that no edit holds chunk pointers meanwhile. The
// place of these locks among the program's others: core/LockOrder.h.
class BaseChunker : public IBoxOccupancy {
public:
    BaseChunker();
    // Stops the worker and gives the tree back if that has not been done:
    // no thread outlives the object.
    ~BaseChunker() override;
    BaseChunker(const BaseChunker&) = delete;
    BaseChunker& operator=(const BaseChunker&) = delete;

    // One iteration of the worker.
    virtual void Update() = 0;

    // Sets running, starts the worker thread and makes the root. A call while
    // running does nothing; after Stop the chunker may be started again.
    void Start();
    // The body of the worker thread: Update while running is set (an update
    // ends its work at the next turn once it is cleared), then
    // WorkerLeaving.
    void ThreadMain();
    // Clears running, joins the worker, calls WorkerStopped(true), then gives
    // every chunk of the tree back to the chunk pool and every node to the
    // node pool.
    void Stop();
    // Stop for a shut-down that cannot wait for ever: waits for the worker
    // until the deadline at most. A worker that has ended by then is stopped
    // as Stop does (true). One that has not (its step runs a script that
    // does not stop) is left running (false): WorkerStopped(false) still
    // runs, but the tree and its chunks are kept, since the worker may still
    // use them. A later Stop (the destructor's) waits for the worker as long
    // as it takes; with a worker that never comes back the process ends
    // instead.
    bool StopWithin(std::chrono::steady_clock::time_point deadline);
    // The worker thread (no thread when none runs).
    std::thread::id WorkerId() const { return thread.get_id(); }

    bool IsRunning() const { return running.load(); }
    OctreeNode* GetRoot() const { return root; }

    // Whether a cell of a loaded chunk in the inclusive box is occupied (a box
    // reaching below row 0 always is). Takes octreeMutex.
    bool IsBoxOccupied(const Vector3i& min, const Vector3i& max) override;
    // Appends the occupied cells of loaded chunks in the box. Takes octreeMutex.
    void CollectOccupiedCells(const Vector3i& min, const Vector3i& max, std::vector<Vector3i>& out) override;

    // Runs f() with the cells of the loaded chunks held still (under
    // octreeMutex), for code that copies cells, such as the chunk message.
    // f may take the scratch buffers' locks and no other lock of the program.
    template <class F>
    decltype(auto) ReadCells(F&& f) {
        std::lock_guard<std::mutex> lock(octreeMutex);
        return f();
    }

    // One cell of a placement: the chunk, the position of the record in the
    // shape's cell list, and the cell's local coordinates in the chunk.
    struct PlacementEntry {
        Chunk* chunk;
        size_t cell;
        int x, y, z;
    };

protected:
    // Called by Start before the worker starts.
    virtual void Starting() {}
    // Called by Stop on the stopping thread once the worker has ended
    // (workerEnded), or has been left running, and before the tree is
    // dismantled: the chunks are still resident.
    virtual void WorkerStopped(bool workerEnded) { (void)workerEnded; }
    // Called on the worker thread as it leaves its loop (running cleared),
    // so before Stop's wait for it ends: work that the worker handed to
    // threads of its own is finished or dropped here.
    virtual void WorkerLeaving() {}
    // A lock that keeps every edit of the tree's chunks off while Stop gives
    // them back (none by default).
    virtual std::unique_lock<std::mutex> HoldEditsOff() { return std::unique_lock<std::mutex>(); }
    // Called under octreeMutex just before an edit writes a cell of a
    // resident chunk (once for each cell).
    virtual void CellsChanging(Chunk& /*chunk*/) {}

    // ---- Brick edits and occupancy tests (world/BrickEdits.cpp) ----
    // The caller holds octreeMutex. Cell-type indices without a record in
    // CellTypeTable count as empty everywhere.

    // Whether the shape fits at the anchor: the anchor's y is not below 0, no
    // cell in a loaded chunk is occupied or lies in the inclusive excluded box,
    // and (with requireSupport) some cell rests on the ground or on studs, or
    // hangs under a cell that takes studs. Cells of chunks that are not loaded
    // are skipped; entries (if given) receives the cells that would be written.
    bool CanPlaceBrickLocked(const BrickShape& shape, const Vector3i& anchor, const Vector3i& excludedMin,
                             const Vector3i& excludedMax, std::vector<PlacementEntry>* entries,
                             bool requireSupport) const;
    // Writes the brick (type index of each record, the colour) into the loaded
    // chunks when CanPlaceBrickLocked accepts it, adding them to touched;
    // returns whether it was written.
    bool PlaceBrickLocked(const Vector3i& excludedMin, const Vector3i& excludedMax, const BrickShape& shape,
                          uint8_t colour, const Vector3i& anchor, TouchedSet* touched, bool requireSupport);
    // Sets resting (ground, or studs below) and hanging (sockets above) for a
    // record that would fill world cell w; leaves them alone otherwise.
    void CheckSupportLocked(const BrickCell& record, const Vector3i& w, bool& resting, bool& hanging) const;
    // Empties every loaded cell of the brick at the world cell (type 0,
    // colour 255), adding the chunks to touched; the brick's shape, or null
    // when the cell is empty or its chunk not loaded.
    BrickShape* RemoveBrickAtLocked(const Vector3i& cell, TouchedSet* touched);
    // Adds the loaded chunks that the shape's cells fall into; changes nothing.
    void CollectShapeChunksLocked(const BrickShape& shape, const Vector3i& anchor, TouchedSet& touched) const;
    bool IsBoxOccupiedLocked(const Vector3i& min, const Vector3i& max) const;
    // Calls visit(cell) for the occupied cells of loaded chunks in the box
    // until it returns true; returns whether it did.
    template <class Visit>
    bool VisitOccupiedLocked(const Vector3i& min, const Vector3i& max, Visit&& visit) const;

    // The resident chunk at chunk coordinates (null when none).
    Chunk* FindChunkLocked(const Vector3i& chunkCoords) const;
    // The resident chunk holding a world cell and the cell's index in it
    // (null when the cell lies in no loaded chunk).
    Chunk* FindCellLocked(const Vector3i& cell, int& cellIndex) const;
    // ---- end of brick edits ----

    std::mutex teardownMutex;
    std::thread thread;
    OctreeNode* root = nullptr;
    std::atomic<bool> running{false};
    // Set by the worker when it leaves its loop (under workerEndMutex).
    std::mutex workerEndMutex;
    std::condition_variable workerEndChanged;
    bool workerEnded = false;
    // Guards the octree and the cells of its chunks.
    std::mutex octreeMutex;
};

}  // namespace Tav
