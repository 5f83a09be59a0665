#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "math/Vector3.h"

namespace Tav {

struct BrickShape;
struct BrickType;

// One cell of one rotation of a brick type. Its typeIndex (1-based) is what a
// chunk cell stores.
struct BrickCell {
    int32_t dx = 0;
    int32_t dy = 0;
    int32_t dz = 0;
    uint8_t hasTopStuds = 1;
    uint8_t hasBottomSockets = 1;
    // Whole faces, in the order -x, +x, -y, +y, -z, +z.
    uint8_t faceFull[6] = {1, 1, 1, 1, 1, 1};
    // Faces with no cell of the same shape beside them, in the order
    // +y, -y, -x, +x, +z, -z.
    uint8_t faceOpen[6] = {1, 1, 1, 1, 1, 1};
    // 0 a full cell, 1 a sloped partial cell.
    int32_t kind = 0;
    // For a sloped cell, the side of the brick's full cell on which it lies:
    // 0 = -x, 1 = -z, 2 = +x, 3 = +z.
    uint8_t category = 0;
    BrickShape* owner = nullptr;
    uint16_t typeIndex = 0;

    // A new record, registered under the next cell-type index. Kinds other
    // than 0 and 1, and categories above 3, make a full cell.
    static BrickCell* Create(int32_t kind, uint8_t category, int32_t dx, int32_t dy, int32_t dz);
};

// One distinct rotation of a brick type: the cells it occupies.
struct BrickShape {
    std::vector<BrickCell*> cells;
    int32_t minX = 0;
    int32_t minY = 0;
    int32_t minZ = 0;
    int32_t maxX = 0;
    int32_t maxY = 0;
    int32_t maxZ = 0;
    BrickType* owner = nullptr;
    uint8_t rotation = 0;

    BrickShape() = default;
    // A copy takes over the cells: their owner becomes the copy.
    BrickShape(const BrickShape& other);
    BrickShape& operator=(const BrickShape& other);

    void AddCell(BrickCell* cell);
    void ComputeFaceFlags();
    // Lowers min and raises max (x, y, z) to the offsets of the cells.
    static void ComputeBounds(const std::vector<BrickCell*>& cells, int32_t min[3], int32_t max[3]);
};

// One brick type with its shapes per rotation.
struct BrickType {
    std::vector<BrickShape> shapes;
    uint8_t typeId = 0;
    int32_t designId = 0;
    // Rotation (0 to 3) to the offset, in world units, between a design
    // file's brick position and the corner of the origin cell.
    std::map<int32_t, Vector3> placementOffsets;

    BrickType() = default;
    BrickType(uint8_t typeId_, int32_t designId_) : typeId(typeId_), designId(designId_) {}
    // A copy takes over the shapes: their owner becomes the copy.
    BrickType(const BrickType& other);
    BrickType& operator=(const BrickType& other);

    BrickShape& AddShape();
};

// The cell-type index to record table: entry i - 1 holds index i.
class CellTypeTable {
public:
    static BrickCell** table;
    static uint32_t count;

    // The record of an index, or null for 0 and for indices beyond the table.
    static BrickCell* Get(uint16_t index) {
        return (index != 0 && index <= count) ? table[index - 1] : nullptr;
    }
};

// The five brick types, in type id order.
class BrickCatalogue {
public:
    // Builds the types and the cell-type table. Does nothing when they are
    // already built.
    static void Build();
    // The shape of the first type with that id at rotation modulo its shape
    // count; type 0's only shape when no type has the id. Never null once built.
    static BrickShape* FindShape(uint8_t typeId, uint8_t rotation);
    // Frees the cell records and the table and empties the catalogue, so that
    // nothing is left pointing at freed records; Build may then run again.
    static void Destroy();
    // Moves the pending records into the cell-type table.
    static void Finalize();

    static std::vector<BrickType>& Types();
};

// Build state.
extern uint16_t g_cellTypeCounter;
extern std::vector<BrickCell*> g_pendingCellTypes;

}  // namespace Tav
