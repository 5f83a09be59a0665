// Brick edits and occupancy tests of the loaded world, on the octree of
// BaseChunker. None of them loads or generates a chunk: a cell whose chunk is
// not resident is skipped as each operation describes.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "world/BaseChunker.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/Octree.h"

namespace Tav {

namespace {

// The record of a cell, or null when it counts as empty (index 0, or an index
// beyond the cell-type table).
const BrickCell* RecordOf(const Cell& cell) { return CellTypeTable::Get(cell.typeIndex); }

Vector3i OffsetOf(const BrickCell& record) { return Vector3i(record.dx, record.dy, record.dz); }

bool InBox(const Vector3i& p, const Vector3i& min, const Vector3i& max)
{
    return p.x >= min.x && p.x <= max.x && p.y >= min.y && p.y <= max.y && p.z >= min.z && p.z <= max.z;
}

// World cells covered by chunks of the octree's box, as 64-bit bounds.
constexpr int64_t kWorldCellMinXZ = int64_t(OctreeNode::kRootMinX) * kChunkSize - 8;
constexpr int64_t kWorldCellMaxXZ = int64_t(OctreeNode::kRootMaxX) * kChunkSize - 9;
constexpr int64_t kWorldCellMaxY = int64_t(OctreeNode::kRootMaxY) * kChunkSize - 1;

}  // namespace

Chunk* BaseChunker::FindChunkLocked(const Vector3i& chunkCoords) const
{
    return root ? root->Find(chunkCoords.x, chunkCoords.y, chunkCoords.z) : nullptr;
}

Chunk* BaseChunker::FindCellLocked(const Vector3i& cell, int& cellIndex) const
{
    const CellLocation loc = LocateCell(cell);
    if (!loc.InChunk()) return nullptr;
    Chunk* chunk = FindChunkLocked(loc.chunk);
    if (chunk) cellIndex = LocalCellIndex(loc);
    return chunk;
}

// ---------------------------------------------------------------- placement

bool BaseChunker::CanPlaceBrickLocked(const BrickShape& shape, const Vector3i& anchor, const Vector3i& excludedMin,
                                      const Vector3i& excludedMax, std::vector<PlacementEntry>* entries,
                                      bool requireSupport) const
{
    if (anchor.y < 0) return false;

    bool blocked = false;
    bool supported = false;
    for (size_t i = 0; i < shape.cells.size(); ++i) {
        const BrickCell* record = shape.cells[i];
        if (!record) continue;
        const Vector3i w = anchor + OffsetOf(*record);
        const CellLocation loc = LocateCell(w);
        if (!loc.InChunk()) continue;
        Chunk* chunk = FindChunkLocked(loc.chunk);
        if (!chunk) continue;  // not loaded: neither blocks nor supports

        if (RecordOf(chunk->cells[LocalCellIndex(loc)])) blocked = true;
        if (InBox(w, excludedMin, excludedMax)) blocked = true;
        if (requireSupport) {
            bool resting = false;
            bool hanging = false;
            CheckSupportLocked(*record, w, resting, hanging);
            if (resting || hanging) supported = true;
        }
        if (entries) entries->push_back(PlacementEntry{chunk, i, loc.local.x, loc.local.y, loc.local.z});
    }
    return !blocked && (!requireSupport || supported);
}

void BaseChunker::CheckSupportLocked(const BrickCell& record, const Vector3i& w, bool& resting,
                                     bool& hanging) const
{
    if (record.hasBottomSockets && w.y == 0) resting = true;

    int index = 0;
    if (record.hasBottomSockets) {
        if (const Chunk* below = FindCellLocked(w - Vector3i(0, 1, 0), index)) {
            const BrickCell* r = RecordOf(below->cells[index]);
            if (r && r->hasTopStuds) resting = true;
        }
    }
    if (record.hasTopStuds) {
        if (const Chunk* above = FindCellLocked(w + Vector3i(0, 1, 0), index)) {
            const BrickCell* r = RecordOf(above->cells[index]);
            if (r && r->hasBottomSockets) hanging = true;
        }
    }
}

bool BaseChunker::PlaceBrickLocked(const Vector3i& excludedMin, const Vector3i& excludedMax,
                                   const BrickShape& shape, uint8_t colour, const Vector3i& anchor,
                                   TouchedSet* touched, bool requireSupport)
{
    std::vector<PlacementEntry> entries;
    entries.reserve(shape.cells.size());
    if (!CanPlaceBrickLocked(shape, anchor, excludedMin, excludedMax, &entries, requireSupport)) return false;
    for (const PlacementEntry& e : entries) {
        CellsChanging(*e.chunk);
        e.chunk->SetCell(e.x, e.y, e.z, shape.cells[e.cell]->typeIndex, colour);
        if (touched) touched->insert(e.chunk);
    }
    return true;
}

// ------------------------------------------------------------------ removal

BrickShape* BaseChunker::RemoveBrickAtLocked(const Vector3i& cell, TouchedSet* touched)
{
    int index = 0;
    Chunk* chunk = FindCellLocked(cell, index);
    if (!chunk) return nullptr;
    const BrickCell* record = RecordOf(chunk->cells[index]);
    if (!record || !record->owner) return nullptr;

    BrickShape* shape = record->owner;
    const Vector3i anchor = cell - OffsetOf(*record);
    for (const BrickCell* c : shape->cells) {
        if (!c) continue;
        const CellLocation loc = LocateCell(anchor + OffsetOf(*c));
        if (!loc.InChunk()) continue;
        Chunk* target = FindChunkLocked(loc.chunk);
        if (!target) continue;
        CellsChanging(*target);
        target->SetCell(loc.local.x, loc.local.y, loc.local.z, 0, 255);
        if (touched) touched->insert(target);
    }
    return shape;
}

void BaseChunker::CollectShapeChunksLocked(const BrickShape& shape, const Vector3i& anchor,
                                           TouchedSet& touched) const
{
    for (const BrickCell* record : shape.cells) {
        if (!record) continue;
        // Cells just below the ground (y -1 to -15) count toward layer 0.
        if (Chunk* chunk = FindChunkLocked(LocateCell(anchor + OffsetOf(*record)).chunk)) touched.insert(chunk);
    }
}

// ---------------------------------------------------------------- occupancy

bool BaseChunker::IsBoxOccupied(const Vector3i& min, const Vector3i& max)
{
    std::lock_guard<std::mutex> lock(octreeMutex);
    return IsBoxOccupiedLocked(min, max);
}

template <class Visit>
bool BaseChunker::VisitOccupiedLocked(const Vector3i& min, const Vector3i& max, Visit&& visit) const
{
    if (!root) return false;

    // Only cells of the world can be occupied: clip the box to them, then scan
    // the loaded chunks that it meets (never every cell of a huge box).
    const int64_t x0 = std::max<int64_t>(min.x, kWorldCellMinXZ), x1 = std::min<int64_t>(max.x, kWorldCellMaxXZ);
    const int64_t y0 = std::max<int64_t>(min.y, 0), y1 = std::min<int64_t>(max.y, kWorldCellMaxY);
    const int64_t z0 = std::max<int64_t>(min.z, kWorldCellMinXZ), z1 = std::min<int64_t>(max.z, kWorldCellMaxXZ);
    if (x0 > x1 || y0 > y1 || z0 > z1) return false;

    const Vector3i c0 = LocateCell(static_cast<int32_t>(x0), static_cast<int32_t>(y0), static_cast<int32_t>(z0)).chunk;
    const Vector3i c1 = LocateCell(static_cast<int32_t>(x1), static_cast<int32_t>(y1), static_cast<int32_t>(z1)).chunk;
    // Player collision asks often: keep the list's memory between calls.
    thread_local std::vector<Chunk*> chunks;
    chunks.clear();
    root->Collect(chunks, c0.x, c1.x, c0.y, c1.y, c0.z, c1.z);

    for (const Chunk* chunk : chunks) {
        // The chunk's cells in world coordinates, intersected with the box.
        const int64_t ox = int64_t(chunk->cx) * kChunkSize - 8;
        const int64_t oy = int64_t(chunk->cy) * kChunkSize;
        const int64_t oz = int64_t(chunk->cz) * kChunkSize - 8;
        const int lx0 = static_cast<int>(std::max<int64_t>(x0 - ox, 0));
        const int lx1 = static_cast<int>(std::min<int64_t>(x1 - ox, kChunkSize - 1));
        const int ly0 = static_cast<int>(std::max<int64_t>(y0 - oy, 0));
        const int ly1 = static_cast<int>(std::min<int64_t>(y1 - oy, kChunkSize - 1));
        const int lz0 = static_cast<int>(std::max<int64_t>(z0 - oz, 0));
        const int lz1 = static_cast<int>(std::min<int64_t>(z1 - oz, kChunkSize - 1));
        for (int y = ly0; y <= ly1; ++y)
            for (int z = lz0; z <= lz1; ++z)
                for (int x = lx0; x <= lx1; ++x)
                    if (RecordOf(chunk->cells[Chunk::CellIndex(x, y, z)]) &&
                        visit(Vector3i(static_cast<int32_t>(ox + x), static_cast<int32_t>(oy + y),
                                       static_cast<int32_t>(oz + z))))
                        return true;
    }
    return false;
}

bool BaseChunker::IsBoxOccupiedLocked(const Vector3i& min, const Vector3i& max) const
{
    if (min.y < 0) return true;  // below the ground
    return VisitOccupiedLocked(min, max, [](const Vector3i&) { return true; });
}

void BaseChunker::CollectOccupiedCells(const Vector3i& min, const Vector3i& max, std::vector<Vector3i>& out)
{
    std::lock_guard<std::mutex> lock(octreeMutex);
    VisitOccupiedLocked(min, max, [&out](const Vector3i& cell) {
        out.push_back(cell);
        return false;
    });
}

}  // namespace Tav
