#pragma once
#include <cstddef>
#include <cstdint>
#include <set>

#include "math/Vector3.h"
#include "math/Vector3i.h"

namespace Net {
class BitStream;
}

namespace Tav {

// One cell of a chunk: a cell-type index (0 empty, else 1-based into
// CellTypeTable) and a colour index (into ColourTable).
struct Cell {
    uint16_t typeIndex = 0;
    uint8_t colour = 0;
};

constexpr int32_t kChunkSize = 16;
constexpr int32_t kChunkCells = kChunkSize * kChunkSize * kChunkSize;
// The serialised cell form: 4096 cells of 3 bytes.
constexpr size_t kSerializedChunkBytes = 3 * kChunkCells;

// A block of 16 x 16 x 16 cells. Chunks come from the chunk pool
// (AllocChunk/FreeChunk) and are never copied.
class Chunk {
public:
    // (cx * 12.8, cy * 15.36, cz * 12.8) in world units: the centre in x and z, the floor in y.
    Vector3 position;
    // The number of cells whose cell-type index is not 0.
    uint32_t nonEmptyCount = 0;
    // Cell (x, y, z) is at CellIndex(x, y, z).
    Cell cells[kChunkCells];
    int32_t cx = 0;
    int32_t cy = 0;
    int32_t cz = 0;
    uint8_t dirty = 0;
    // The chunk manager's count of changes of what clients are shown, at
    // this chunk's last change (0 from Init).
    uint64_t shownSerial = 0;

    Chunk() = default;
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;

    static constexpr int CellIndex(int x, int y, int z) { return (y * kChunkSize + z) * kChunkSize + x; }
    // The world position of chunk coordinates.
    static Vector3 PositionOf(int32_t cx, int32_t cy, int32_t cz);

    // Sets the coordinates and the position, empties every cell (colour 0)
    // and zeroes the non-empty count, then reads the seed file if there is one.
    void Init(int32_t cx, int32_t cy, int32_t cz);
    // Writes one cell at local coordinates (each 0 to 15), keeping the
    // non-empty count, and marks the chunk dirty.
    void SetCell(int x, int y, int z, uint16_t typeIndex, uint8_t colour);
    const Cell& GetCell(int x, int y, int z) const { return cells[CellIndex(x, y, z)]; }
    Vector3i Coordinates() const { return {cx, cy, cz}; }

    // Appends the 12288-byte serialised cell form: x outermost, then y, then
    // z; each cell a big-endian u16 index and a colour byte.
    void Serialize(Net::BitStream& out) const;
    // The same form written to out, which holds kSerializedChunkBytes bytes.
    void SerializeCells(unsigned char* out) const;
    // Reads the serialised cell form. A short stream leaves the index of each
    // cell it cannot supply unchanged (its colour becomes 0); the count is
    // taken over all cells. The position is recomputed from the coordinates.
    void Deserialize(Net::BitStream& in);
    // Reads "test/<cx>,<cy>,<cz>.dat" (a decimal byte count, then that many
    // bytes of serialised cells) if it exists.
    void LoadTestFile();
};

// The process-wide chunk pool; both calls are safe from any thread.
// AllocChunk returns a newly constructed chunk; FreeChunk destroys one from
// the pool (null is ignored).
Chunk* AllocChunk();
void FreeChunk(Chunk* chunk);
// Chunks currently taken from the pool (for leak checks).
size_t ChunksInUse();

// The chunks that an edit changed, ordered and without duplicates.
using TouchedSet = std::set<Chunk*>;

// A world cell's chunk (x and z centred: chunk cx covers cells 16 cx - 8 to
// 16 cx + 7; y starts at 0) and its coordinates within that chunk.
struct CellLocation {
    Vector3i chunk;
    Vector3i local;
    // True when the local coordinates all lie in 0..15 (false below y = 0).
    bool InChunk() const {
        return local.x >= 0 && local.x < kChunkSize && local.y >= 0 && local.y < kChunkSize &&
               local.z >= 0 && local.z < kChunkSize;
    }
};

// cx = floor((x + 8) / 16), cy = y / 16 truncated toward zero,
// cz = floor((z + 8) / 16); local = cell - chunk origin. Computed in 64 bits,
// so no coordinate overflows.
inline CellLocation LocateCell(int32_t x, int32_t y, int32_t z) {
    auto floorDiv16 = [](int64_t v) { return v >= 0 ? v / 16 : -((-v + 15) / 16); };
    const int64_t cx = floorDiv16(static_cast<int64_t>(x) + 8);
    const int64_t cy = static_cast<int64_t>(y) / 16;
    const int64_t cz = floorDiv16(static_cast<int64_t>(z) + 8);
    CellLocation loc;
    loc.chunk = Vector3i(static_cast<int32_t>(cx), static_cast<int32_t>(cy), static_cast<int32_t>(cz));
    loc.local = Vector3i(static_cast<int32_t>(static_cast<int64_t>(x) + 8 - 16 * cx),
                         static_cast<int32_t>(static_cast<int64_t>(y) - 16 * cy),
                         static_cast<int32_t>(static_cast<int64_t>(z) + 8 - 16 * cz));
    return loc;
}
inline CellLocation LocateCell(const Vector3i& cell) { return LocateCell(cell.x, cell.y, cell.z); }

// The chunk coordinates of a world cell.
inline Vector3i WorldCellToChunk(const Vector3i& cell) { return LocateCell(cell).chunk; }

// The index within its chunk of a world cell that lies in a chunk (InChunk).
inline int LocalCellIndex(const CellLocation& loc) { return Chunk::CellIndex(loc.local.x, loc.local.y, loc.local.z); }

}  // namespace Tav
