#pragma once
// The chunk-data message: identifier 132, u32 chunk count, u32 compressed
// length CL, u32 raw length RL, then CL bytes of zlib data. Inflated, the data
// holds one 12300-byte entry per chunk: i32 cx, cy, cz, then the chunk's
// 12288-byte serialised cell form.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/BitStream.h"
#include "world/Chunk.h"

namespace Tav {

// Appends one chunk's entry to a body. The caller keeps the cells from
// changing meanwhile (it holds the octree mutex, or owns the chunk).
void AppendChunkEntry(const Chunk& chunk, Net::BitStream& body);

// Writes the whole message for a body of count entries into out. Bodies
// below the compress scratch buffer's size are compressed in that buffer
// (under its lock), or in a room of the calling thread's own when another
// thread holds it; longer ones in a buffer of their own. An empty body gives
// the 13-byte message with CL = RL = 0.
void WriteChunkDataMessage(uint32_t count, const Net::BitStream& body, Net::BitStream& out);

// One entry of a received chunk-data message.
struct ChunkDataEntry {
    int32_t cx = 0;
    int32_t cy = 0;
    int32_t cz = 0;
    std::vector<unsigned char> cells;  // the 12288-byte serialised form
};

// Reads a chunk-data message (identifier byte included). False when it is
// not one, is short, or its data does not inflate to count whole entries.
// maxRawLength bounds what a message may make the reader allocate.
bool ReadChunkDataMessage(const unsigned char* data, size_t length, std::vector<ChunkDataEntry>& out,
                          size_t maxRawLength = 64u * 1024u * 1024u);

}  // namespace Tav
