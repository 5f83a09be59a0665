#include "world/ChunkStoreCodec.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include <zlib.h>

#include "world/ScratchBuffers.h"
#include "world/sql/SqlDatabase.h"

namespace Tav {

namespace {

void PutU32(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

std::uint32_t GetU32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
}

// Largest framed length that the text encoding takes (its length is an int).
constexpr std::size_t kMaxFramed = 2000000000;

}  // namespace

std::vector<unsigned char> FrameChunkData(const unsigned char* raw, std::size_t n)
{
    // Room for any input, so that compression cannot run out of space; for
    // the serialised cell form the output is far below n anyway.
    const uLong bound = compressBound(static_cast<uLong>(n));
    if (n > 0xFFFFFFFFu || bound > kMaxFramed - kChunkFrameHeaderSize)
        throw std::length_error("chunk data too long to store");

    ScratchBufferLock scratch(ScratchBuffer::Compress);
    std::vector<unsigned char> heap;
    unsigned char* room = scratch.Data();
    if (!room || scratch.Size() < bound) {
        heap.resize(bound);
        room = heap.data();
    }

    uLongf compressedLength = bound;
    const int rc = compress(room, &compressedLength, raw, static_cast<uLong>(n));
    if (rc == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (rc != Z_OK)  // cannot happen with room of compressBound bytes
        throw std::length_error("chunk data cannot be compressed");

    std::vector<unsigned char> framed(kChunkFrameHeaderSize + compressedLength);
    PutU32(framed.data(), static_cast<std::uint32_t>(compressedLength));
    PutU32(framed.data() + 4, static_cast<std::uint32_t>(n));
    std::memcpy(framed.data() + kChunkFrameHeaderSize, room, compressedLength);
    return framed;
}

std::string EncodeChunkRow(const unsigned char* raw, std::size_t n)
{
    const std::vector<unsigned char> framed = FrameChunkData(raw, n);
    std::string text(SqlEncodedBufferSize(framed.size()), '\0');
    const int length = SqlEncodeBinary(framed.data(), static_cast<int>(framed.size()),
                                       reinterpret_cast<unsigned char*>(&text[0]));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

const char* FormatChunkStoreStatement(SqlBuffer& out, int cx, int cy, int cz, const char* encodedText)
{
    return out.Format("INSERT OR REPLACE INTO mapdata values ('%d,%d,%d', %Q);", cx, cy, cz, encodedText);
}

const char* FormatChunkLoadQuery(SqlBuffer& out, int cx, int cy, int cz)
{
    return out.Format("select data from mapdata where location = '%d,%d,%d';", cx, cy, cz);
}

bool UnframeChunkData(const unsigned char* framed, std::size_t m, std::uint32_t expectedRawLength,
                      std::vector<unsigned char>& raw, std::string& error)
{
    raw.clear();
    if (m < kChunkFrameHeaderSize) {
        error = "Stored chunk is truncated: " + std::to_string(m) + " bytes";
        return false;
    }
    const std::uint32_t compressedLength = GetU32(framed);
    const std::uint32_t rawLength = GetU32(framed + 4);
    if (rawLength != expectedRawLength) {
        error = "Stored chunk has raw length " + std::to_string(rawLength) + ", expected " +
                std::to_string(expectedRawLength);
        return false;
    }
    if (compressedLength > m - kChunkFrameHeaderSize) {
        error = "Stored chunk claims " + std::to_string(compressedLength) + " compressed bytes, holds " +
                std::to_string(m - kChunkFrameHeaderSize);
        return false;
    }

    // Decompressed straight into the result: the raw length is the caller's
    // own, so no scratch buffer is needed.
    raw.resize(rawLength);
    uLongf produced = rawLength;
    const int rc = uncompress(raw.data(), &produced, framed + kChunkFrameHeaderSize, compressedLength);
    if (rc != Z_OK) {
        raw.clear();
        if (rc == Z_MEM_ERROR)
            throw std::bad_alloc();
        error = std::string("Stored chunk does not decompress: ") +
                (rc == Z_BUF_ERROR ? "truncated or longer than its raw length" : "corrupt data");
        return false;
    }
    if (produced != rawLength) {
        raw.clear();
        error = "Stored chunk decompresses to " + std::to_string(produced) + " bytes, expected " +
                std::to_string(rawLength);
        return false;
    }
    return true;
}

bool DecodeChunkRow(const char* text, std::size_t length, std::uint32_t expectedRawLength,
                    std::vector<unsigned char>& raw, std::string& error)
{
    raw.clear();
    SqlBinary binary;
    try {
        binary.SetEncoded(reinterpret_cast<const unsigned char*>(text), length);
        const unsigned char* framed = binary.GetBinary();
        return UnframeChunkData(framed, static_cast<std::size_t>(binary.BinaryLength()), expectedRawLength, raw,
                                error);
    } catch (const SqlException& e) {
        error = e.ErrorMessage();
        return false;
    }
}

void StoreChunkRow(SqlDatabase& db, int cx, int cy, int cz, const unsigned char* raw, std::size_t n)
{
    const std::string text = EncodeChunkRow(raw, n);
    SqlBuffer statement;
    db.ExecDml(FormatChunkStoreStatement(statement, cx, cy, cz, text.c_str()));
}

ChunkRowStatus LoadChunkRow(SqlDatabase& db, int cx, int cy, int cz, std::uint32_t expectedRawLength,
                            std::vector<unsigned char>& raw, std::string& error)
{
    raw.clear();
    try {
        SqlBuffer statement;
        SqlQuery query = db.ExecQuery(FormatChunkLoadQuery(statement, cx, cy, cz));
        if (query.Eof())
            return ChunkRowStatus::Missing;
        const int field = query.FieldIndex("data");
        if (query.FieldIsNull(field))
            return ChunkRowStatus::Missing;
        const char* text = query.FieldValue(field);
        const int length = query.FieldLength(field);
        if (!text)
            return ChunkRowStatus::Missing;
        const bool ok = DecodeChunkRow(text, static_cast<std::size_t>(length), expectedRawLength, raw, error);
        query.Finalize();
        return ok ? ChunkRowStatus::Loaded : ChunkRowStatus::Failed;
    } catch (const SqlException& e) {
        raw.clear();
        error = e.ErrorMessage();
        return ChunkRowStatus::Failed;
    }
}

}  // namespace Tav
