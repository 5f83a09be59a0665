#pragma once
#include <atomic>
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
// it, on every thread, holds octreeMutex. Stop holds teardownMutex, then
// octreeMutex, while it dismantles the tree.
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

    // Sets running, starts the worker thread and makes the root. Once only;
    // a second call while running does nothing.
    void Start();
    // The body of the worker thread.
    void ThreadMain();
    // Clears running, joins the worker, then gives every chunk of the tree
    // back to the chunk pool and every node to the node pool. Saves nothing.
    void Stop();

    bool IsRunning() const { return running.load(); }
    OctreeNode* GetRoot() const { return root; }

    // ---- Brick edits and occupancy tests (world/BrickEdits.cpp) ----
    // Declared here by the brick-edit code; see IBoxOccupancy for IsBoxOccupied.
    //
    // Each public operation takes octreeMutex for its whole walk (a placement
    // from its test to its last write). The ...Locked variants are for callers
    // that already hold it. Cell-type indices without a record in
    // CellTypeTable count as empty everywhere.

    // One cell of a placement: the chunk, the position of the record in the
    // shape's cell list, and the cell's local coordinates in the chunk.
    struct PlacementEntry {
        Chunk* chunk;
        size_t cell;
        int x, y, z;
    };

    // Whether the shape fits at the anchor: the anchor's y is not below 0, no
    // cell in a loaded chunk is occupied or lies in the inclusive excluded box,
    // and (with requireSupport) some cell rests on the ground or on studs, or
    // hangs under a cell that takes studs. Cells of chunks that are not loaded
    // are skipped; entries (if given) receives the cells that would be written.
    bool CanPlaceBrick(const BrickShape& shape, const Vector3i& anchor, const Vector3i& excludedMin,
                       const Vector3i& excludedMax, std::vector<PlacementEntry>* entries, bool requireSupport);
    bool CanPlaceBrickLocked(const BrickShape& shape, const Vector3i& anchor, const Vector3i& excludedMin,
                             const Vector3i& excludedMax, std::vector<PlacementEntry>* entries,
                             bool requireSupport) const;
    // Writes the brick (type index of each record, the colour) into the loaded
    // chunks when CanPlaceBrick accepts it, adding them to touched; returns
    // whether it was written.
    bool PlaceBrick(const Vector3i& excludedMin, const Vector3i& excludedMax, const BrickShape& shape,
                    uint8_t colour, const Vector3i& anchor, TouchedSet* touched, bool requireSupport);
    bool PlaceBrickLocked(const Vector3i& excludedMin, const Vector3i& excludedMax, const BrickShape& shape,
                          uint8_t colour, const Vector3i& anchor, TouchedSet* touched, bool requireSupport);
    // Sets resting (ground, or studs below) and hanging (sockets above) for a
    // record that would fill world cell w; leaves them alone otherwise.
    void CheckSupport(const BrickCell& record, const Vector3i& w, bool& resting, bool& hanging);
    void CheckSupportLocked(const BrickCell& record, const Vector3i& w, bool& resting, bool& hanging) const;
    // Empties every loaded cell of the brick at the world cell (type 0,
    // colour 255), adding the chunks to touched; the brick's shape, or null
    // when the cell is empty or its chunk not loaded.
    BrickShape* RemoveBrickAt(const Vector3i& cell, TouchedSet* touched);
    BrickShape* RemoveBrickAtLocked(const Vector3i& cell, TouchedSet* touched);
    // Adds the loaded chunks that the shape's cells fall into; changes nothing.
    void CollectShapeChunks(const BrickShape& shape, const Vector3i& anchor, TouchedSet& touched);
    void CollectShapeChunksLocked(const BrickShape& shape, const Vector3i& anchor, TouchedSet& touched) const;
    bool IsBoxOccupied(const Vector3i& min, const Vector3i& max) override;
    bool IsBoxOccupiedLocked(const Vector3i& min, const Vector3i& max) const;

    // The resident chunk at chunk coordinates (null when none); the caller
    // holds octreeMutex.
    Chunk* FindChunkLocked(const Vector3i& chunkCoords) const;
    // The resident chunk holding a world cell and the cell's index in it
    // (null when the cell lies in no loaded chunk); the caller holds octreeMutex.
    Chunk* FindCellLocked(const Vector3i& cell, int& cellIndex) const;
    // ---- end of brick edits ----

protected:
    std::mutex teardownMutex;
    std::thread thread;
    OctreeNode* root = nullptr;
    std::atomic<bool> running{false};

public:
    // Guards the octree and the cells of its chunks.
    std::mutex octreeMutex;
};

}  // namespace Tav
