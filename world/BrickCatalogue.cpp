#include "world/BrickCatalogue.h"

namespace Tav {

uint16_t g_cellTypeCounter = 0;
std::vector<BrickCell*> g_pendingCellTypes;

BrickCell** CellTypeTable::table = nullptr;
uint32_t CellTypeTable::count = 0;

namespace {

std::vector<BrickType> g_catalogue;

// faceFull of a sloped cell by category: a whole bottom face and a whole face
// towards the brick's full cell.
const uint8_t kSlopedFaceFull[4][6] = {
    {0, 1, 1, 0, 0, 0},  // 0: lies on -x, full face +x
    {0, 0, 1, 0, 0, 1},  // 1: lies on -z, full face +z
    {1, 0, 1, 0, 0, 0},  // 2: lies on +x, full face -x
    {0, 0, 1, 0, 1, 0},  // 3: lies on +z, full face -z
};

struct CellDef {
    int32_t dx, dy, dz;
    int32_t kind;
    uint8_t category;
};

struct TypeDef {
    uint8_t typeId;
    int32_t designId;
    std::vector<std::vector<CellDef>> shapes;
    // Placement offsets per rotation 0..3 in cells (x, z).
    double offsets[4][2];
};

const std::vector<TypeDef>& CatalogueTable() {
    static const std::vector<TypeDef> table = {
        {0, 3005, {{{0, 0, 0, 0, 0}}}, {{0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}}},
        {1, 3004,
         {{{1, 0, 0, 0, 0}, {0, 0, 0, 0, 0}}, {{0, 0, 1, 0, 0}, {0, 0, 0, 0, 0}}},
         {{0.5, 0.5}, {0.5, 0.5}, {1.5, 0.5}, {0.5, 1.5}}},
        {2, 3003,
         {{{1, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {1, 0, 1, 0, 0}, {0, 0, 1, 0, 0}}},
         {{0.5, 1.5}, {0.5, 0.5}, {1.5, 0.5}, {1.5, 1.5}}},
        {3, 3001,
         {{{2, 0, 0, 0, 0}, {1, 0, 0, 0, 0}, {0, 0, 0, 0, 0}, {-1, 0, 0, 0, 0},
           {2, 0, 1, 0, 0}, {1, 0, 1, 0, 0}, {0, 0, 1, 0, 0}, {-1, 0, 1, 0, 0}},
          {{1, 0, 2, 0, 0}, {1, 0, 1, 0, 0}, {1, 0, 0, 0, 0}, {1, 0, -1, 0, 0},
           {0, 0, 2, 0, 0}, {0, 0, 1, 0, 0}, {0, 0, 0, 0, 0}, {0, 0, -1, 0, 0}}},
         {{-0.5, 1.5}, {0.5, -0.5}, {2.5, 0.5}, {1.5, 2.5}}},
        {4, 3040,
         {{{0, 0, 0, 0, 0}, {0, 0, 1, 1, 3}},
          {{0, 0, 0, 0, 0}, {-1, 0, 0, 1, 0}},
          {{0, 0, 0, 0, 0}, {0, 0, -1, 1, 1}},
          {{0, 0, 0, 0, 0}, {1, 0, 0, 1, 2}}},
         {{0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}}},
    };
    return table;
}

}  // namespace

BrickCell* BrickCell::Create(int32_t kind, uint8_t category, int32_t dx, int32_t dy, int32_t dz) {
    BrickCell* cell = new BrickCell();
    cell->dx = dx;
    cell->dy = dy;
    cell->dz = dz;
    if (kind == 1 && category < 4) {
        cell->kind = 1;
        cell->category = category;
        cell->hasTopStuds = 0;
        cell->hasBottomSockets = 1;
        for (int i = 0; i < 6; ++i) cell->faceFull[i] = kSlopedFaceFull[category][i];
    }
    ++g_cellTypeCounter;
    cell->typeIndex = g_cellTypeCounter;
    g_pendingCellTypes.push_back(cell);
    return cell;
}

BrickShape::BrickShape(const BrickShape& other)
    : cells(other.cells),
      minX(other.minX), minY(other.minY), minZ(other.minZ),
      maxX(other.maxX), maxY(other.maxY), maxZ(other.maxZ),
      owner(other.owner), rotation(other.rotation) {
    for (BrickCell* cell : cells) cell->owner = this;
}

BrickShape& BrickShape::operator=(const BrickShape& other) {
    if (this == &other) return *this;
    cells = other.cells;
    minX = other.minX; minY = other.minY; minZ = other.minZ;
    maxX = other.maxX; maxY = other.maxY; maxZ = other.maxZ;
    owner = other.owner;
    rotation = other.rotation;
    for (BrickCell* cell : cells) cell->owner = this;
    return *this;
}

void BrickShape::AddCell(BrickCell* cell) {
    if (cell->dx < minX) minX = cell->dx;
    if (cell->dy < minY) minY = cell->dy;
    if (cell->dz < minZ) minZ = cell->dz;
    if (cell->dx > maxX) maxX = cell->dx;
    if (cell->dy > maxY) maxY = cell->dy;
    if (cell->dz > maxZ) maxZ = cell->dz;
    cell->owner = this;
    cells.push_back(cell);
}

void BrickShape::ComputeFaceFlags() {
    // Directions in faceOpen order: +y, -y, -x, +x, +z, -z.
    static const int32_t kSteps[6][3] = {{0, 1, 0}, {0, -1, 0}, {-1, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, 0, -1}};
    for (BrickCell* cell : cells) {
        for (int d = 0; d < 6; ++d) {
            const int32_t nx = cell->dx + kSteps[d][0];
            const int32_t ny = cell->dy + kSteps[d][1];
            const int32_t nz = cell->dz + kSteps[d][2];
            bool neighbour = false;
            for (const BrickCell* other : cells) {
                if (other->dx == nx && other->dy == ny && other->dz == nz) {
                    neighbour = true;
                    break;
                }
            }
            cell->faceOpen[d] = neighbour ? 0 : 1;
        }
    }
}

void BrickShape::ComputeBounds(const std::vector<BrickCell*>& list, int32_t min[3], int32_t max[3]) {
    for (const BrickCell* cell : list) {
        const int32_t offset[3] = {cell->dx, cell->dy, cell->dz};
        for (int axis = 0; axis < 3; ++axis) {
            if (offset[axis] < min[axis]) min[axis] = offset[axis];
            if (offset[axis] > max[axis]) max[axis] = offset[axis];
        }
    }
}

BrickType::BrickType(const BrickType& other)
    : shapes(other.shapes), typeId(other.typeId), designId(other.designId),
      placementOffsets(other.placementOffsets) {
    for (BrickShape& shape : shapes) shape.owner = this;
}

BrickType& BrickType::operator=(const BrickType& other) {
    if (this == &other) return *this;
    shapes = other.shapes;
    typeId = other.typeId;
    designId = other.designId;
    placementOffsets = other.placementOffsets;
    for (BrickShape& shape : shapes) shape.owner = this;
    return *this;
}

BrickShape& BrickType::AddShape() {
    BrickShape shape;
    shape.owner = this;
    shape.rotation = static_cast<uint8_t>(shapes.size());
    shapes.push_back(shape);
    return shapes.back();
}

std::vector<BrickType>& BrickCatalogue::Types() { return g_catalogue; }

void BrickCatalogue::Build() {
    if (!g_catalogue.empty()) return;
    // Cell width and depth as the single-precision constant in double arithmetic.
    const double cellWidth = static_cast<double>(0.8f);
    const double cellHeight = static_cast<double>(0.96f);
    for (const TypeDef& def : CatalogueTable()) {
        g_catalogue.push_back(BrickType(def.typeId, def.designId));
        BrickType& type = g_catalogue.back();
        for (const std::vector<CellDef>& cells : def.shapes) {
            BrickShape& shape = type.AddShape();
            for (const CellDef& c : cells) {
                shape.AddCell(BrickCell::Create(c.kind, c.category, c.dx, c.dy, c.dz));
            }
            shape.ComputeFaceFlags();
        }
        for (int32_t rotation = 0; rotation < 4; ++rotation) {
            type.placementOffsets[rotation] = Vector3(def.offsets[rotation][0] * cellWidth, 0.0 * cellHeight,
                                                      def.offsets[rotation][1] * cellWidth);
        }
    }
    Finalize();
}

void BrickCatalogue::Finalize() {
    // Records already in the table (a second Finalize) stay in front of the new ones.
    const uint32_t kept = CellTypeTable::count;
    BrickCell** table = new BrickCell*[kept + g_pendingCellTypes.size()];
    for (uint32_t i = 0; i < kept; ++i) table[i] = CellTypeTable::table[i];
    for (size_t i = 0; i < g_pendingCellTypes.size(); ++i) table[kept + i] = g_pendingCellTypes[i];
    delete[] CellTypeTable::table;
    CellTypeTable::table = table;
    CellTypeTable::count = kept + static_cast<uint32_t>(g_pendingCellTypes.size());
    g_pendingCellTypes.clear();
}

BrickShape* BrickCatalogue::FindShape(uint8_t typeId, uint8_t rotation) {
    for (BrickType& type : g_catalogue) {
        if (type.typeId == typeId && !type.shapes.empty()) {
            return &type.shapes[rotation % type.shapes.size()];
        }
    }
    if (g_catalogue.empty() || g_catalogue.front().shapes.empty()) return nullptr;
    return &g_catalogue.front().shapes.front();
}

void BrickCatalogue::Destroy() {
    for (BrickCell* cell : g_pendingCellTypes) delete cell;
    g_pendingCellTypes.clear();
    if (CellTypeTable::table != nullptr) {
        for (uint32_t i = 0; i < CellTypeTable::count; ++i) delete CellTypeTable::table[i];
        delete[] CellTypeTable::table;
        CellTypeTable::table = nullptr;
    }
    CellTypeTable::count = 0;
    g_catalogue.clear();
    g_cellTypeCounter = 0;
}

}  // namespace Tav
