#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Tav {

class SqlBuffer;
class SqlDatabase;

// The stored form of one chunk in the table mapdata of world.db:
//   raw      the serialised cell form (kStoredChunkRawLength bytes)
//   framed   compressed length (u32, big-endian), raw length (u32,
//            big-endian), then zlib's one-shot compression of the raw bytes
//            at the default level
//   text     SqlEncodeBinary of the framed bytes (no NUL, no single quote),
//            written into the statement as a %Q literal.
// Reading checks every step, so a damaged row is reported rather than
// trusted: nothing is allocated on a length that the row's bytes do not
// back, and only a row that yields exactly the expected raw length is used.

constexpr std::uint32_t kStoredChunkRawLength = 12288;
constexpr std::size_t kChunkFrameHeaderSize = 8;

// Compresses n raw bytes into the compress scratch buffer (under its lock;
// a heap buffer when the scratch buffer is absent or too small) and returns
// the framed bytes. Throws std::bad_alloc when memory runs out and
// std::length_error for an input too long to frame.
std::vector<unsigned char> FrameChunkData(const unsigned char* raw, std::size_t n);

// The text stored in the data column for n raw bytes: the framed bytes,
// encoded. Throws as FrameChunkData.
std::string EncodeChunkRow(const unsigned char* raw, std::size_t n);

// "INSERT OR REPLACE INTO mapdata values ('cx,cy,cz', 'text');" made in out
// by SQLite's formatting; returns out's text.
const char* FormatChunkStoreStatement(SqlBuffer& out, int cx, int cy, int cz, const char* encodedText);
// "select data from mapdata where location = 'cx,cy,cz';"
const char* FormatChunkLoadQuery(SqlBuffer& out, int cx, int cy, int cz);

// Checks the framing and decompresses: on success raw holds exactly
// expectedRawLength bytes and the result is true; otherwise error says why
// and raw is empty.
bool UnframeChunkData(const unsigned char* framed, std::size_t m, std::uint32_t expectedRawLength,
                      std::vector<unsigned char>& raw, std::string& error);

// Decodes a stored text of the given length (a NUL within it ends it), then
// unframes it as above. A bad escape gives the error text
// "SQLWRAPPER_ERROR[1000]: Cannot decode binary".
bool DecodeChunkRow(const char* text, std::size_t length, std::uint32_t expectedRawLength,
                    std::vector<unsigned char>& raw, std::string& error);

// Stores one chunk's raw bytes under its key; one statement, one commit.
// Raises SqlException when the database is closed or the statement fails.
void StoreChunkRow(SqlDatabase& db, int cx, int cy, int cz, const unsigned char* raw, std::size_t n);

enum class ChunkRowStatus {
    Loaded,   // raw holds the stored bytes
    Missing,  // no row, or a row whose data is NULL
    Failed,   // the query failed or the row is damaged; error says why
};

// Looks up and decodes the row of one chunk. Database errors are reported as
// Failed with the exception's message, like a damaged row.
ChunkRowStatus LoadChunkRow(SqlDatabase& db, int cx, int cy, int cz, std::uint32_t expectedRawLength,
                            std::vector<unsigned char>& raw, std::string& error);

}  // namespace Tav
