#include "world/TerrainGenerator.h"

#include <cmath>
#include <mutex>

#include "world/BrickCatalogue.h"
#include "world/Chunk.h"

namespace Tav {

uint8_t SimplexNoise::perm[512];
uint8_t SimplexNoise::permMod12[512];
FitShape TerrainGenerator::shapes[TerrainGenerator::kShapeCount];

namespace {

// The reference permutation of improved gradient noise.
const uint8_t kPermutation[256] = {
    151, 160, 137, 91,  90,  15,  131, 13,  201, 95,  96,  53,  194, 233, 7,   225, 140, 36,  103, 30,  69,  142,
    8,   99,  37,  240, 21,  10,  23,  190, 6,   148, 247, 120, 234, 75,  0,   26,  197, 62,  94,  252, 219, 203,
    117, 35,  11,  32,  57,  177, 33,  88,  237, 149, 56,  87,  174, 20,  125, 136, 171, 168, 68,  175, 74,  165,
    71,  134, 139, 48,  27,  166, 77,  146, 158, 231, 83,  111, 229, 122, 60,  211, 133, 230, 220, 105, 92,  41,
    55,  46,  245, 40,  244, 102, 143, 54,  65,  25,  63,  161, 1,   216, 80,  73,  209, 76,  132, 187, 208, 89,
    18,  169, 200, 196, 135, 130, 116, 188, 159, 86,  164, 100, 109, 198, 173, 186, 3,   64,  52,  217, 226, 250,
    124, 123, 5,   202, 38,  147, 118, 126, 255, 82,  85,  212, 207, 206, 59,  227, 47,  16,  58,  17,  182, 189,
    28,  42,  223, 183, 170, 213, 119, 248, 152, 2,   44,  154, 163, 70,  221, 153, 101, 155, 167, 43,  172, 9,
    129, 22,  39,  253, 19,  98,  108, 110, 79,  113, 224, 232, 178, 185, 112, 104, 218, 246, 97,  228, 251, 34,
    242, 193, 238, 210, 144, 12,  191, 179, 162, 241, 81,  51,  145, 235, 249, 14,  239, 107, 49,  192, 214, 31,
    181, 199, 106, 157, 184, 84,  204, 176, 115, 121, 50,  45,  127, 4,   150, 254, 138, 236, 205, 93,  222, 114,
    67,  29,  24,  72,  243, 141, 128, 195, 78,  66,  215, 61,  156, 180,
};

const double kGrad3[12][3] = {
    {1, 1, 0}, {-1, 1, 0}, {1, -1, 0}, {-1, -1, 0}, {1, 0, 1},  {-1, 0, 1},
    {1, 0, -1}, {-1, 0, -1}, {0, 1, 1}, {0, -1, 1}, {0, 1, -1}, {0, -1, -1},
};

// The cell width and height: single-precision constants in double arithmetic.
const double kCellWidth = static_cast<double>(0.8f);
const double kCellHeight = static_cast<double>(0.96f);

// Truncate, then step down when that went up.
inline int FastFloor(double v) {
    const int t = static_cast<int>(v);
    return t > v ? t - 1 : t;
}

inline double Dot2(const double* g, double x, double y) { return g[0] * x + g[1] * y; }
inline double Dot3(const double* g, double x, double y, double z) { return g[0] * x + g[1] * y + g[2] * z; }

// The contribution of one corner: t^4 x (g . d), with t^4 taken as (t^2)^2.
inline double Corner2(double t, int g, double x, double y) {
    if (t < 0) return 0.0;
    t *= t;
    return t * t * Dot2(kGrad3[g], x, y);
}

inline double Corner3(double t, int g, double x, double y, double z) {
    if (t < 0) return 0.0;
    t *= t;
    return t * t * Dot3(kGrad3[g], x, y, z);
}

}  // namespace

void SimplexNoise::InitPermutations() {
    // Filled once: a later call (each chunk manager makes one) must not write
    // the tables while a worker reads them.
    static std::once_flag once;
    std::call_once(once, [] {
        for (int i = 0; i < 512; ++i) {
            perm[i] = kPermutation[i & 255];
            permMod12[i] = static_cast<uint8_t>(perm[i] % 12);
        }
    });
}

namespace {
// The tables are in place before main runs, so that no generation can see
// them empty.
struct NoiseStartup {
    NoiseStartup() { SimplexNoise::InitPermutations(); }
} g_noiseStartup;
}  // namespace

double SimplexNoise::Simplex2(double xin, double yin) {
    static const double F2 = (std::sqrt(3.0) - 1.0) * 0.5;
    static const double G2 = (3.0 - std::sqrt(3.0)) / 6.0;
    const double s = (xin + yin) * F2;
    const int i = FastFloor(xin + s);
    const int j = FastFloor(yin + s);
    const double t = (i + j) * G2;
    const double x0 = xin - (i - t);
    const double y0 = yin - (j - t);
    int i1, j1;
    if (x0 > y0) {
        i1 = 1;
        j1 = 0;
    } else {
        i1 = 0;
        j1 = 1;
    }
    const double x1 = x0 - i1 + G2;
    const double y1 = y0 - j1 + G2;
    const double x2 = x0 - 1.0 + 2.0 * G2;
    const double y2 = y0 - 1.0 + 2.0 * G2;
    const int ii = i & 255;
    const int jj = j & 255;
    const int g0 = permMod12[ii + perm[jj]];
    const int g1 = permMod12[ii + i1 + perm[jj + j1]];
    const int g2 = permMod12[ii + 1 + perm[jj + 1]];
    const double n0 = Corner2(0.5 - x0 * x0 - y0 * y0, g0, x0, y0);
    const double n1 = Corner2(0.5 - x1 * x1 - y1 * y1, g1, x1, y1);
    const double n2 = Corner2(0.5 - x2 * x2 - y2 * y2, g2, x2, y2);
    return 70.0 * (n0 + n1 + n2);
}

double SimplexNoise::Noise2(double x, double y) {
    const double X = x * 0.005;
    const double Y = y * 0.005;
    // Every octave samples the same point (the frequency stays 1.0), so the
    // one sample is weighted four times; the powers of two make each product
    // exact, and the sum keeps its order.
    const double n = Simplex2(X * 1.0, Y * 1.0);
    double total = 0.0;
    double amplitude = 1.0;
    for (int octave = 0; octave < 4; ++octave) {
        total = total + n * amplitude;
        amplitude = amplitude * 0.5;
    }
    return total;
}

double SimplexNoise::Noise3(double xin, double yin, double zin) {
    const double F3 = 1.0 / 3.0;
    const double G3 = 1.0 / 6.0;
    const double s = (xin + yin + zin) * F3;
    const int i = FastFloor(xin + s);
    const int j = FastFloor(yin + s);
    const int k = FastFloor(zin + s);
    const double t = (i + j + k) * G3;
    const double x0 = xin - (i - t);
    const double y0 = yin - (j - t);
    const double z0 = zin - (k - t);
    int i1, j1, k1, i2, j2, k2;
    if (x0 >= y0) {
        if (y0 >= z0) {
            i1 = 1; j1 = 0; k1 = 0; i2 = 1; j2 = 1; k2 = 0;
        } else if (x0 >= z0) {
            i1 = 1; j1 = 0; k1 = 0; i2 = 1; j2 = 0; k2 = 1;
        } else {
            i1 = 0; j1 = 0; k1 = 1; i2 = 1; j2 = 0; k2 = 1;
        }
    } else {
        if (y0 < z0) {
            i1 = 0; j1 = 0; k1 = 1; i2 = 0; j2 = 1; k2 = 1;
        } else if (x0 < z0) {
            i1 = 0; j1 = 1; k1 = 0; i2 = 0; j2 = 1; k2 = 1;
        } else {
            i1 = 0; j1 = 1; k1 = 0; i2 = 1; j2 = 1; k2 = 0;
        }
    }
    const double x1 = x0 - i1 + G3;
    const double y1 = y0 - j1 + G3;
    const double z1 = z0 - k1 + G3;
    const double x2 = x0 - i2 + F3;
    const double y2 = y0 - j2 + F3;
    const double z2 = z0 - k2 + F3;
    const double x3 = x0 - 1.0 + 0.5;
    const double y3 = y0 - 1.0 + 0.5;
    const double z3 = z0 - 1.0 + 0.5;
    const int ii = i & 255;
    const int jj = j & 255;
    const int kk = k & 255;
    const int g0 = permMod12[ii + perm[jj + perm[kk]]];
    const int g1 = permMod12[ii + i1 + perm[jj + j1 + perm[kk + k1]]];
    const int g2 = permMod12[ii + i2 + perm[jj + j2 + perm[kk + k2]]];
    const int g3 = permMod12[ii + 1 + perm[jj + 1 + perm[kk + 1]]];
    const double n0 = Corner3(0.6 - x0 * x0 - y0 * y0 - z0 * z0, g0, x0, y0, z0);
    const double n1 = Corner3(0.6 - x1 * x1 - y1 * y1 - z1 * z1, g1, x1, y1, z1);
    const double n2 = Corner3(0.6 - x2 * x2 - y2 * y2 - z2 * z2, g2, x2, y2, z2);
    const double n3 = Corner3(0.6 - x3 * x3 - y3 * y3 - z3 * z3, g3, x3, y3, z3);
    return 32.0 * (n0 + n1 + n2 + n3);
}

void TerrainGenerator::PrepareShapeTables() {
    if (shapes[0].cells != nullptr) return;
    BrickCatalogue::Build();
    // (type id, shape) in fitting order.
    static const int kOrder[kShapeCount][2] = {{3, 0}, {3, 1}, {2, 0}, {1, 0}, {1, 1}};
    for (int s = 0; s < kShapeCount; ++s) {
        const BrickShape* shape = BrickCatalogue::FindShape(static_cast<uint8_t>(kOrder[s][0]),
                                                            static_cast<uint8_t>(kOrder[s][1]));
        FitShape& table = shapes[s];
        table.count = static_cast<uint8_t>(shape->cells.size());
        table.cells = new BrickCell*[table.count];
        for (uint8_t c = 0; c < table.count; ++c) table.cells[c] = shape->cells[c];
        table.min[0] = shape->minX;
        table.min[1] = shape->minY;
        table.min[2] = shape->minZ;
        table.max[0] = shape->maxX;
        table.max[1] = shape->maxY;
        table.max[2] = shape->maxZ;
    }
}

void TerrainGenerator::FreeShapeTables() {
    for (FitShape& table : shapes) {
        delete[] table.cells;
        table = FitShape();
    }
}

const BrickCell* TerrainGenerator::FindFiller() {
    std::vector<BrickType>& types = BrickCatalogue::Types();
    if (types.empty() || types.front().shapes.empty()) return nullptr;
    for (const BrickCell* cell : types.front().shapes.front().cells) {
        if (cell->dx == 0 && cell->dy == 0 && cell->dz == 0) return cell;
    }
    return nullptr;
}

void TerrainGenerator::FillCells(Chunk* chunk) {
    const BrickCell* filler = FindFiller();
    const uint16_t fillerIndex = filler != nullptr ? filler->typeIndex : 0;
    const int32_t cx = chunk->cx;
    const int32_t cy = chunk->cy;
    const int32_t cz = chunk->cz;

    double height[16][16];
    for (int i = 0; i < 16; ++i) {
        for (int j = 0; j < 16; ++j) {
            const double n = SimplexNoise::Noise2((16 * cx + i) * 0.4, (16 * cz + j) * 0.4);
            height[i][j] = (n * 0.5 + 1.0) * 16.0;
        }
    }
    for (int x = 0; x < 16; ++x) {
        const int32_t wx = 16 * cx - 8 + x;
        for (int y = 0; y < 16; ++y) {
            const int32_t wy = 16 * cy + y;
            for (int z = 0; z < 16; ++z) {
                const int32_t wz = 16 * cz - 8 + z;
                if (wy * kCellHeight < height[x][z]) {
                    const double n = SimplexNoise::Noise3(wx * kCellWidth * 0.05, wy * kCellHeight * 0.05,
                                                          wz * kCellWidth * 0.05);
                    const int k = static_cast<int>((n + 1.0) * 0.5 * 2.0);
                    chunk->SetCell(x, y, z, fillerIndex, static_cast<uint8_t>(k <= 0 ? 17 : 18));
                } else {
                    chunk->SetCell(x, y, z, 0, 1);
                }
            }
        }
    }
}

void TerrainGenerator::GenerateChunk(Chunk* chunk) {
    if (shapes[0].cells == nullptr) PrepareShapeTables();
    FillCells(chunk);
    FitBricks(chunk, FindFiller());
    chunk->dirty = 0;
}

bool TerrainGenerator::FitShapeInLayer(int32_t y, Chunk* chunk, BrickCell* const* shape, uint8_t count,
                                       int32_t minX, int32_t minY, int32_t minZ, int32_t maxX, int32_t maxY,
                                       int32_t maxZ, const BrickCell* filler) {
    if (count == 0 || y + minY < 0 || y + maxY > 15) return false;
    for (int32_t x = -minX; x <= 15 - maxX; ++x) {
        for (int32_t z = -minZ; z <= 15 - maxZ; ++z) {
            bool match = true;
            uint8_t colour = 0;
            for (uint8_t c = 0; c < count && match; ++c) {
                const Cell& cell = chunk->GetCell(x + shape[c]->dx, y + shape[c]->dy, z + shape[c]->dz);
                if (c == 0) colour = cell.colour;
                match = cell.typeIndex != 0 && CellTypeTable::Get(cell.typeIndex) == filler && cell.colour == colour;
            }
            if (!match) continue;
            for (uint8_t c = 0; c < count; ++c) {
                chunk->SetCell(x + shape[c]->dx, y + shape[c]->dy, z + shape[c]->dz, shape[c]->typeIndex, colour);
            }
            return true;
        }
    }
    return false;
}

namespace {

// FitShapeInLayer that starts its scan at the origin where the last call of
// this layer stopped: (cursorX, cursorZ) is the next origin to try, and the
// scan is done when cursorX has passed the last column.
struct ScanCursor {
    int32_t x;
    int32_t z;
};

bool FitShapeFrom(int32_t y, Chunk* chunk, const FitShape& s, uint16_t fillerIndex, ScanCursor& cursor) {
    const int32_t lastX = 15 - s.max[0];
    const int32_t firstZ = -s.min[2];
    const int32_t lastZ = 15 - s.max[2];
    if (s.count == 0 || fillerIndex == 0 || y + s.min[1] < 0 || y + s.max[1] > 15 || firstZ > lastZ) {
        cursor.x = lastX + 1;
        return false;
    }
    // Cell offsets of the shape as indices relative to the origin's index.
    int offsets[255];
    for (uint8_t c = 0; c < s.count; ++c) {
        offsets[c] = Chunk::CellIndex(s.cells[c]->dx, s.cells[c]->dy, s.cells[c]->dz) -
                     Chunk::CellIndex(0, 0, 0);
    }
    Cell* cells = chunk->cells;
    for (; cursor.x <= lastX; ++cursor.x, cursor.z = firstZ) {
        for (; cursor.z <= lastZ; ++cursor.z) {
            const Cell* origin = cells + Chunk::CellIndex(cursor.x, y, cursor.z);
            const uint8_t colour = origin[offsets[0]].colour;
            uint8_t c = 0;
            while (c < s.count && origin[offsets[c]].typeIndex == fillerIndex && origin[offsets[c]].colour == colour) {
                ++c;
            }
            if (c != s.count) continue;
            for (uint8_t k = 0; k < s.count; ++k) {
                const BrickCell* r = s.cells[k];
                chunk->SetCell(cursor.x + r->dx, y + r->dy, cursor.z + r->dz, r->typeIndex, colour);
            }
            ++cursor.z;
            return true;
        }
    }
    return false;
}

}  // namespace

void TerrainGenerator::FitBricks(Chunk* chunk, const BrickCell* filler) {
    // A cell is filler exactly when its index is the one whose record is the
    // filler (records and indices are one to one); 0 matches nothing.
    const uint16_t fillerIndex =
        (filler != nullptr && CellTypeTable::Get(filler->typeIndex) == filler) ? filler->typeIndex : 0;
    for (int32_t y = 0; y < 16; ++y) {
        ScanCursor cursor[kShapeCount];
        for (int s = 0; s < kShapeCount; ++s) cursor[s] = {-shapes[s].min[0], -shapes[s].min[2]};
        bool placed;
        do {
            placed = false;
            for (int s = 0; s < kShapeCount; ++s) {
                if (FitShapeFrom(y, chunk, shapes[s], fillerIndex, cursor[s])) placed = true;
            }
        } while (placed);
    }
}

}  // namespace Tav
