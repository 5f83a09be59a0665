#include "world/Chunk.h"

#include <cctype>
#include <cstdio>
#include <mutex>
#include <vector>

#include <boost/pool/object_pool.hpp>

#include "net/BitStream.h"

namespace Tav {

namespace {

// The chunk steps 16 x 0.8 and 16 x 0.96 as single-precision constants in double arithmetic.
const double kChunkStepXZ = static_cast<double>(12.8f);
const double kChunkStepY = static_cast<double>(15.36f);

size_t g_chunksInUse = 0;  // guarded by ChunkPoolMutex

std::mutex& ChunkPoolMutex() {
    static std::mutex mutex;
    return mutex;
}

boost::object_pool<Chunk>& ChunkPool() {
    static boost::object_pool<Chunk> pool;
    return pool;
}

// Constructed before main runs, so that the pool outlives every user.
struct PoolStartup {
    PoolStartup() {
        ChunkPoolMutex();
        ChunkPool();
    }
} g_poolStartup;

}  // namespace

Chunk* AllocChunk() {
    std::lock_guard<std::mutex> lock(ChunkPoolMutex());
    Chunk* chunk = ChunkPool().construct();
    if (chunk != nullptr) ++g_chunksInUse;
    return chunk;
}

void FreeChunk(Chunk* chunk) {
    if (chunk == nullptr) return;
    std::lock_guard<std::mutex> lock(ChunkPoolMutex());
    ChunkPool().destroy(chunk);
    --g_chunksInUse;
}

size_t ChunksInUse() {
    std::lock_guard<std::mutex> lock(ChunkPoolMutex());
    return g_chunksInUse;
}

Vector3 Chunk::PositionOf(int32_t cx, int32_t cy, int32_t cz) {
    return {cx * kChunkStepXZ, cy * kChunkStepY, cz * kChunkStepXZ};
}

void Chunk::Init(int32_t x, int32_t y, int32_t z) {
    cx = x;
    cy = y;
    cz = z;
    position = PositionOf(cx, cy, cz);
    for (Cell& cell : cells) cell = Cell();
    nonEmptyCount = 0;
    shownSerial = 0;
    LoadTestFile();
}

void Chunk::SetCell(int x, int y, int z, uint16_t typeIndex, uint8_t colour) {
    Cell& cell = cells[CellIndex(x, y, z)];
    dirty = 1;
    if (cell.typeIndex == 0 && typeIndex != 0) {
        ++nonEmptyCount;
    } else if (cell.typeIndex != 0 && typeIndex == 0) {
        --nonEmptyCount;
    }
    cell.typeIndex = typeIndex;
    cell.colour = colour;
}

namespace {

// The serialised cell form of cells into bytes: x outermost, then y, then z.
// Inlined into both callers, which are on the road of every chunk sent.
inline __attribute__((always_inline)) void WriteCellForm(const Cell* cells, unsigned char* bytes) {
    size_t at = 0;
    for (int x = 0; x < kChunkSize; ++x) {
        for (int y = 0; y < kChunkSize; ++y) {
            for (int z = 0; z < kChunkSize; ++z) {
                const Cell& cell = cells[Chunk::CellIndex(x, y, z)];
                bytes[at++] = static_cast<unsigned char>(cell.typeIndex >> 8);
                bytes[at++] = static_cast<unsigned char>(cell.typeIndex & 0xFF);
                bytes[at++] = cell.colour;
            }
        }
    }
}

}  // namespace

void Chunk::Serialize(Net::BitStream& out) const {
    unsigned char bytes[kSerializedChunkBytes];
    WriteCellForm(cells, bytes);
    out.WriteBytes(bytes, sizeof bytes);
}

void Chunk::SerializeCells(unsigned char* bytes) const { WriteCellForm(cells, bytes); }

void Chunk::Deserialize(Net::BitStream& in) {
    nonEmptyCount = 0;
    position = PositionOf(cx, cy, cz);
    if (in.GetNumberOfUnreadBits() >= kSerializedChunkBytes * 8) {
        unsigned char bytes[kSerializedChunkBytes];
        in.ReadBytes(bytes, sizeof bytes);
        size_t at = 0;
        for (int x = 0; x < kChunkSize; ++x) {
            for (int y = 0; y < kChunkSize; ++y) {
                for (int z = 0; z < kChunkSize; ++z) {
                    Cell& cell = cells[CellIndex(x, y, z)];
                    cell.typeIndex = static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
                    cell.colour = bytes[at + 2];
                    at += 3;
                    if (cell.typeIndex != 0) ++nonEmptyCount;
                }
            }
        }
        return;
    }
    // A short form: read field by field; each read that fails leaves its target as it was.
    for (int x = 0; x < kChunkSize; ++x) {
        for (int y = 0; y < kChunkSize; ++y) {
            for (int z = 0; z < kChunkSize; ++z) {
                Cell& cell = cells[CellIndex(x, y, z)];
                cell.colour = 0;
                in.Read(cell.typeIndex);
                in.Read(cell.colour);
                if (cell.typeIndex != 0) ++nonEmptyCount;
            }
        }
    }
}

void Chunk::LoadTestFile() {
    char name[64];
    std::snprintf(name, sizeof name, "test/%d,%d,%d.dat", cx, cy, cz);
    std::FILE* file = std::fopen(name, "rb");
    if (file == nullptr) return;

    // A decimal count after optional white space; the first non-digit ends it
    // and stays unread, so the data starts right after the last digit.
    int c = std::fgetc(file);
    while (c != EOF && std::isspace(c)) c = std::fgetc(file);
    bool haveDigits = false;
    unsigned long long count = 0;
    while (c != EOF && std::isdigit(c)) {
        haveDigits = true;
        if (count <= kSerializedChunkBytes) count = count * 10 + static_cast<unsigned>(c - '0');
        c = std::fgetc(file);
    }
    if (c != EOF) std::ungetc(c, file);
    if (!haveDigits) {
        std::fclose(file);
        return;
    }
    // Deserialize takes no more than one serialised form, so no more is read:
    // a huge count in a damaged file costs no memory.
    const size_t wanted = count < kSerializedChunkBytes ? static_cast<size_t>(count) : kSerializedChunkBytes;
    std::vector<unsigned char> data(wanted);
    const size_t got = wanted == 0 ? 0 : std::fread(data.data(), 1, wanted, file);
    std::fclose(file);

    if (got == 0) {
        Net::BitStream empty;
        Deserialize(empty);
        return;
    }
    Net::BitStream stream(data.data(), got, false);
    Deserialize(stream);
}

}  // namespace Tav
