#pragma once
// A world written to world.db before the server starts.
#include <filesystem>
#include <set>
#include <tuple>

#include "math/Vector3i.h"
#include "net/BitStream.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/ChunkStoreCodec.h"
#include "world/sql/SqlDatabase.h"

namespace TavTest {

// Stores the chunks that the spawn preloads (x and z chunks -1 to 1, all five
// layers) in a new database file, empty but for the world cells named, each
// a 1 x 1 brick of colour 1.
inline void StoreSpawnWorld(const std::filesystem::path& file, const std::set<std::tuple<int, int, int>>& cells) {
    Tav::SqlDatabase db;
    db.Open(file.string().c_str());
    db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    const uint16_t oneByOne = Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex;
    for (int cx = -1; cx <= 1; ++cx)
        for (int cy = 0; cy <= 4; ++cy)
            for (int cz = -1; cz <= 1; ++cz) {
                Tav::Chunk* chunk = Tav::AllocChunk();
                chunk->Init(cx, cy, cz);
                for (const auto& [x, y, z] : cells) {
                    const Tav::CellLocation at = Tav::LocateCell(x, y, z);
                    if (at.chunk == Tav::Vector3i(cx, cy, cz))
                        chunk->SetCell(at.local.x, at.local.y, at.local.z, oneByOne, 1);
                }
                Net::BitStream raw;
                chunk->Serialize(raw);
                Tav::StoreChunkRow(db, cx, cy, cz, raw.GetData(), raw.GetNumberOfBytesUsed());
                Tav::FreeChunk(chunk);
            }
    db.Close();
}

}  // namespace TavTest
