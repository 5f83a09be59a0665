// Stamping a parsed design into the loaded world and taking it out again.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

#include "world/BrickCatalogue.h"
#include "world/Lxfml.h"
#include "world/ServerChunker.h"

namespace Tav {

namespace {

// A design never covers the cell (0, 0, 0).
const Vector3i kExcludedCell(0, 0, 0);

bool FitsInt32(int64_t v) { return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max(); }

// origin + the brick's cell; false when it, or a cell of the brick's shape,
// has no 32-bit coordinate (such a brick lands nowhere).
bool AnchorOf(const Vector3i& origin, const LxfmlBrick& brick, Vector3i& anchor)
{
    if (!brick.shape) return false;
    const int64_t x = int64_t(origin.x) + brick.x, y = int64_t(origin.y) + brick.y, z = int64_t(origin.z) + brick.z;
    const BrickShape& s = *brick.shape;
    if (!FitsInt32(x + s.minX) || !FitsInt32(x + s.maxX) || !FitsInt32(y + s.minY) || !FitsInt32(y + s.maxY) ||
        !FitsInt32(z + s.minZ) || !FitsInt32(z + s.maxZ))
        return false;
    anchor = Vector3i(static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(z));
    return true;
}

// Calls edit(brick, anchor) for every brick that has an anchor, in list
// order, with the cells held for at most kDesignBricksPerHold bricks at a
// time (each call of the scope takes them again after a release).
template <class Edit>
void ForEachBrick(ServerChunker::EditScope& scope, const LxfmlDesign& design, const Vector3i& origin, Edit&& edit)
{
    const std::vector<LxfmlBrick>& bricks = design.bricks;
    for (size_t i = 0; i < bricks.size();) {
        for (const size_t end = std::min(bricks.size(), i + ServerChunker::kDesignBricksPerHold); i < end; ++i) {
            Vector3i anchor;
            if (AnchorOf(origin, bricks[i], anchor)) edit(bricks[i], anchor);
        }
        scope.ReleaseCells();
    }
}

}  // namespace

DesignStampCount ServerChunker::PlaceDesignAndSave(EditScope& edit, TouchedSet& touched, const LxfmlDesign& design,
                                                   Vector3i origin)
{
    // Each brick is tested and written under one hold, before the next is
    // tested: of two overlapping bricks the earlier lands. The test tells
    // which of its cells lie in loaded chunks: a brick with none of them
    // would be "placed" without a cell written, and does not count.
    DesignStampCount count;
    std::vector<PlacementEntry> cells;
    ForEachBrick(edit, design, origin, [&](const LxfmlBrick& brick, const Vector3i& anchor) {
        const BrickShape& shape = *brick.shape;
        cells.clear();
        if (!edit.CanPlaceBrick(shape, anchor, kExcludedCell, kExcludedCell, &cells, false) || cells.empty()) return;
        if (!edit.PlaceBrick(kExcludedCell, kExcludedCell, shape, brick.colour, anchor, &touched, false)) return;
        ++count.placed;
        const auto records = static_cast<size_t>(
            std::count_if(shape.cells.begin(), shape.cells.end(), [](const BrickCell* c) { return c != nullptr; }));
        if (cells.size() < records) ++count.partly;
    });
    edit.Store(touched, StoreMode::UpToFailure);
    return count;
}

size_t ServerChunker::RemoveDesignAndSave(EditScope& edit, TouchedSet& touched, const LxfmlDesign& design,
                                          Vector3i origin)
{
    size_t removed = 0;
    // The test and the removal of one brick under one hold, so that no other
    // edit changes the cell in between. Neither type nor rotation is
    // compared: any brick with its origin cell there in that colour goes.
    ForEachBrick(edit, design, origin, [&](const LxfmlBrick& brick, const Vector3i& anchor) {
        int index = 0;
        const Chunk* chunk = edit.FindCell(anchor, index);  // null when not loaded or below row 0
        if (!chunk) return;
        const Cell& cell = chunk->cells[index];
        const BrickCell* record = CellTypeTable::Get(cell.typeIndex);
        if (!record || record->dx != 0 || record->dy != 0 || record->dz != 0) return;
        if (cell.colour != brick.colour) return;
        if (edit.RemoveBrickAt(anchor, &touched)) ++removed;
    });
    edit.Store(touched, StoreMode::UpToFailure);
    return removed;
}

}  // namespace Tav
