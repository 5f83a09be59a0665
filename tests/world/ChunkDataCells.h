#pragma once
// Reading single cells out of the entries of a chunk-data message.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "math/Vector3i.h"
#include "world/Chunk.h"
#include "world/ChunkMessage.h"

namespace TavTest {

// The cell (type index, colour) of world cell w in the entries; false when
// no entry holds its chunk.
inline bool CellIn(const std::vector<Tav::ChunkDataEntry>& entries, const Tav::Vector3i& w, Tav::Cell& cell)
{
    const Tav::CellLocation loc = Tav::LocateCell(w);
    for (const Tav::ChunkDataEntry& e : entries) {
        if (Tav::Vector3i(e.cx, e.cy, e.cz) != loc.chunk) continue;
        // The serialised form runs x outermost, then y, then z.
        const size_t at = 3 * ((size_t(loc.local.x) * 16 + size_t(loc.local.y)) * 16 + size_t(loc.local.z));
        cell.typeIndex = static_cast<uint16_t>((e.cells[at] << 8) | e.cells[at + 1]);
        cell.colour = e.cells[at + 2];
        return true;
    }
    return false;
}

}  // namespace TavTest
