#pragma once
// Shared helpers of the entity tests: a stand-in endpoint, the catalogue,
// an occupancy made of a set of cells, and an independent reader of the bits
// that a stream holds (most significant bit of each byte first).
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <tuple>

#include "core/INetworkProperties.h"
#include "net/BitStream.h"
#include "world/BrickCatalogue.h"
#include "world/IBoxOccupancy.h"

namespace TavTest {

struct FakeHost : Tav::INetworkProperties {
    FakeHost(uint64_t guid, bool server) : me(guid), server(server) {}
    Net::Guid GetMyGUID() override { return me; }
    bool IsServer() override { return server; }
    Net::Guid me;
    bool server;
};

inline void EnsureCatalogue() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (Tav::BrickCatalogue::Types().empty()) Tav::BrickCatalogue::Build();
    });
}

// Occupied cells; like the world, rows below 0 always count as occupied.
struct CellSet : Tav::IBoxOccupancy {
    bool IsBoxOccupied(const Tav::Vector3i& min, const Tav::Vector3i& max) override {
        std::lock_guard<std::mutex> lock(m);
        ++queries;
        if (min.y < 0) return true;
        for (const auto& c : cells) {
            const auto [x, y, z] = c;
            if (x >= min.x && x <= max.x && y >= min.y && y <= max.y && z >= min.z && z <= max.z) return true;
        }
        return false;
    }
    void Add(int x, int y, int z) {
        std::lock_guard<std::mutex> lock(m);
        cells.insert({x, y, z});
    }
    std::mutex m;
    std::set<std::tuple<int, int, int>> cells;
    int queries = 0;
};

inline uint64_t BitsAt(const Net::BitStream& s, uint32_t offset, int count) {
    uint64_t v = 0;
    const unsigned char* data = s.GetData();
    for (int i = 0; i < count; ++i) {
        const uint32_t bit = offset + static_cast<uint32_t>(i);
        v = (v << 1) | ((data[bit >> 3] >> (7 - (bit & 7))) & 1u);
    }
    return v;
}

inline double DoubleAt(const Net::BitStream& s, uint32_t offset) {
    const uint64_t bits = BitsAt(s, offset, 64);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

inline uint64_t DoubleBits(double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    return bits;
}

// Bits of a serialised text: a u16 byte count, then the bytes.
inline uint32_t TextBits(const char* text) { return 16 + 8 * static_cast<uint32_t>(std::strlen(text)); }

}  // namespace TavTest
