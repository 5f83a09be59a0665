#pragma once
// Reading chunk-data messages and single cells out of their entries.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
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

// The cell type index at local (x, y, z) of a chunk's serialised cells (an
// entry's cells): x outermost, then y, then z.
inline uint16_t TypeAt(const std::vector<unsigned char>& cells, int x, int y, int z)
{
    const size_t at = 3 * static_cast<size_t>((x * 16 + y) * 16 + z);
    return static_cast<uint16_t>((cells[at] << 8) | cells[at + 1]);
}

// The entries of a chunk-data message that a wait returned; none, and a
// failure of the test, when it did not come or cannot be read.
inline std::vector<Tav::ChunkDataEntry> ParseChunkData(const std::optional<std::vector<unsigned char>>& message)
{
    std::vector<Tav::ChunkDataEntry> entries;
    EXPECT_TRUE(message.has_value());
    if (message) {
        EXPECT_TRUE(Tav::ReadChunkDataMessage(message->data(), message->size(), entries));
    }
    return entries;
}

}  // namespace TavTest
