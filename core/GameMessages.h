#pragma once
// The game's own messages: the first byte of each, above the network
// library's identifiers. docs/protocol.md gives their byte layouts.
#include <cstdint>

namespace Tav {

enum MessageId : uint8_t {
    ID_REQUEST_CHUNKS = 130,  // client -> server: i32 count, count x (i32 cx, cy, cz)
    ID_PLAYER_SPAWNED = 131,  // server -> one client: no body
    ID_CHUNK_DATA = 132,      // server -> clients: u32 count, u32 CL, u32 RL, CL bytes of zlib data
    ID_PLACE_BRICK = 133,     // client -> server: i32 x, y, z, u8 type, u8 rotation, u8 colour
    ID_REMOVE_BRICK = 134,    // client -> server: i32 x, y, z
    ID_SERVER_COMMAND = 135,  // client -> server: u32 length, length bytes of text
    ID_PLAYER_INPUT = 136,    // client -> server: one player input
};

// Size of one chunk entry of the chunk-data body: cx, cy, cz, then the
// 12288-byte cell form.
inline constexpr uint32_t kChunkDataEntryBytes = 12 + 12288;

}  // namespace Tav
