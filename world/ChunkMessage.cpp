#include "world/ChunkMessage.h"

#include <cstring>
#include <mutex>
#include <vector>

#include <zlib.h>

#include "core/GameMessages.h"
#include "world/BigEndian.h"
#include "world/ScratchBuffers.h"

namespace Tav {

namespace {

int32_t GetI32(const unsigned char* p) { return static_cast<int32_t>(LoadU32BE(p)); }

// Compresses rawLength bytes into room (roomSize bytes); the compressed length,
// or -1 when it does not fit.
long CompressInto(unsigned char* room, size_t roomSize, const unsigned char* raw, size_t rawLength)
{
    uLongf cl = static_cast<uLongf>(roomSize);
    if (compress(room, &cl, raw, static_cast<uLong>(rawLength)) != Z_OK) return -1;
    return static_cast<long>(cl);
}

void WriteHeaderAndData(uint32_t count, uint32_t cl, uint32_t rl, const unsigned char* data,
                        Net::BitStream& out)
{
    out.Write(static_cast<uint8_t>(ID_CHUNK_DATA));
    out.Write(count);
    out.Write(cl);
    out.Write(rl);
    if (cl > 0) out.WriteBytes(data, cl);
}

}  // namespace

void AppendChunkEntry(const Chunk& chunk, Net::BitStream& body)
{
    body.Write(chunk.cx);
    body.Write(chunk.cy);
    body.Write(chunk.cz);
    chunk.Serialize(body);
}

void WriteChunkDataMessage(uint32_t count, const Net::BitStream& body, Net::BitStream& out)
{
    const size_t rl = body.GetNumberOfBytesUsed();
    if (rl == 0) {
        WriteHeaderAndData(count, 0, 0, nullptr, out);
        return;
    }
    const unsigned char* raw = body.GetData();

    if (rl < kCompressBufferSize) {
        // Compressing a message of hundreds of chunks takes a good part of a
        // second: a thread that finds the shared buffer in use compresses in
        // a room of its own (kept for its next message) rather than wait, so
        // that a large answer never holds up the broadcast of an edit.
        ScratchBufferLock scratch(ScratchBuffer::Compress, std::try_to_lock);
        unsigned char* room = scratch.Data();
        thread_local std::vector<unsigned char> ownRoom;
        if (!room) {
            if (ownRoom.size() < rl) ownRoom.resize(rl);
            room = ownRoom.data();
        }
        // The room offered is the raw length: chunk data always shrinks.
        const long cl = CompressInto(room, rl, raw, rl);
        if (cl >= 0) {
            WriteHeaderAndData(count, static_cast<uint32_t>(cl), static_cast<uint32_t>(rl), room, out);
            return;
        }
    }

    // A body too long for the scratch buffer, or data that does not shrink:
    // a buffer of its own, with room for any input.
    std::vector<unsigned char> room(compressBound(static_cast<uLong>(rl)));
    long cl = CompressInto(room.data(), rl, raw, rl);
    if (cl < 0) cl = CompressInto(room.data(), room.size(), raw, rl);
    if (cl < 0) cl = 0;  // cannot happen with compressBound bytes of room
    WriteHeaderAndData(count, static_cast<uint32_t>(cl), static_cast<uint32_t>(rl), room.data(), out);
}

bool ReadChunkDataMessage(const unsigned char* data, size_t length, std::vector<ChunkDataEntry>& out,
                          size_t maxRawLength)
{
    out.clear();
    if (length < 13 || data[0] != ID_CHUNK_DATA) return false;
    const uint32_t count = LoadU32BE(data + 1);
    const uint32_t cl = LoadU32BE(data + 5);
    const uint32_t rl = LoadU32BE(data + 9);
    if (cl > length - 13) return false;
    if (static_cast<uint64_t>(count) * kChunkDataEntryBytes != rl || rl > maxRawLength) return false;
    if (rl == 0) return cl == 0;

    std::vector<unsigned char> raw(rl);
    uLongf got = rl;
    if (uncompress(raw.data(), &got, data + 13, cl) != Z_OK || got != rl) return false;

    out.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const unsigned char* e = raw.data() + static_cast<size_t>(i) * kChunkDataEntryBytes;
        out[i].cx = GetI32(e);
        out[i].cy = GetI32(e + 4);
        out[i].cz = GetI32(e + 8);
        out[i].cells.assign(e + 12, e + kChunkDataEntryBytes);
    }
    return true;
}

}  // namespace Tav
