#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
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
//
// The functions that compress or decode work in the compress scratch buffer
// (under its lock; a heap buffer when it is absent or too small). A caller
// that holds the decompress buffer's lock may call them (that order is the
// buffers' own); a caller that holds the compress buffer's lock may not.

constexpr std::uint32_t kStoredChunkRawLength = 12288;

// The table that keeps a damaged row of mapdata, byte for byte, when a store
// is about to replace it: location and data as they stood in mapdata, found
// (UTC time when the row was found damaged) and kept (UTC time when it was
// moved here). Made by the first store that needs it.
constexpr const char* kDamagedRowsTable = "mapdata_damaged";

// A chunk store that cannot be used; what() is the line for the operator,
// naming the file and the reason.
class ChunkStoreRefused : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Opens the chunk store on db (the file is made when it does not exist) and
// makes sure, before anything is served, that it can be read and written:
// the file opens for writing, its schema reads, it is not shorter than its
// header says, the table mapdata is there (made when missing; an error of
// that statement counts only when the table still does not exist) and takes
// the rows of a chunk, and a write transaction can begin and write (it is
// rolled back). Throws ChunkStoreRefused otherwise, leaving an existing file
// as it was.
void OpenChunkStore(SqlDatabase& db, const std::string& file);
constexpr std::size_t kChunkFrameHeaderSize = 8;

// The framed bytes of n raw bytes. Throws std::bad_alloc when memory runs
// out and std::length_error for an input too long to frame.
std::vector<unsigned char> FrameChunkData(const unsigned char* raw, std::size_t n);

// The text stored in the data column for n raw bytes: the framed bytes,
// encoded. Throws as FrameChunkData.
std::string EncodeChunkRow(const unsigned char* raw, std::size_t n);

// "INSERT OR REPLACE INTO mapdata values ('cx,cy,cz', 'text');" made in out
// by SQLite's formatting; returns out's text.
const char* FormatChunkStoreStatement(SqlBuffer& out, int cx, int cy, int cz, const char* encodedText);
// The same statement for n raw bytes, framed and encoded in the compress
// scratch buffer: the statement is the only memory it allocates. Throws as
// FrameChunkData, and SqlException when SQLite cannot allocate the text.
const char* FormatChunkRowStatement(SqlBuffer& out, int cx, int cy, int cz, const unsigned char* raw, std::size_t n);
// The same in a room of the caller's own (grown as needed and kept for the
// next call), for a thread that must not wait for the scratch buffer.
const char* FormatChunkRowStatement(SqlBuffer& out, int cx, int cy, int cz, const unsigned char* raw, std::size_t n,
                                    std::vector<unsigned char>& room);
// The statements that keep the row of chunk cx,cy,cz, as it stands, in the
// table of damaged rows (made when missing), with found, the time when it
// was found damaged. A row already kept with that found is not kept again,
// so that only the first of several stores after one finding moves it.
std::string FormatKeepDamagedRow(int cx, int cy, int cz, const std::string& found);
// "select data from mapdata where location = 'cx,cy,cz';"
const char* FormatChunkLoadQuery(SqlBuffer& out, int cx, int cy, int cz);

// The one reader of the framing: checks the m framed bytes and inflates them
// into out, which holds expectedRawLength bytes. True when the frame names
// exactly that raw length, holds the compressed bytes it claims, and inflates
// to exactly that length; otherwise error says why (out may then hold
// anything).
bool InflateChunkFrame(const unsigned char* framed, std::size_t m, std::uint32_t expectedRawLength,
                       unsigned char* out, std::string& error);
// The same into a vector: on success raw holds exactly expectedRawLength
// bytes; otherwise it is empty.
bool UnframeChunkData(const unsigned char* framed, std::size_t m, std::uint32_t expectedRawLength,
                      std::vector<unsigned char>& raw, std::string& error);

// Decodes a stored text of the given length (a NUL within it ends it), then
// inflates it as above into out (expectedRawLength bytes). A bad escape gives
// the error text "SQLWRAPPER_ERROR[1000]: Cannot decode binary".
bool DecodeChunkRowInto(const char* text, std::size_t length, std::uint32_t expectedRawLength, unsigned char* out,
                        std::string& error);
bool DecodeChunkRow(const char* text, std::size_t length, std::uint32_t expectedRawLength,
                    std::vector<unsigned char>& raw, std::string& error);

// Stores one chunk's raw bytes under its key: one statement, one commit.
// Raises SqlException when the database is closed or the statement fails.
void StoreChunkRow(SqlDatabase& db, int cx, int cy, int cz, const unsigned char* raw, std::size_t n);

// How a set of rows is stored in its one transaction when a statement fails.
enum class StoreMode {
    // Nothing of the set is stored: the transaction is rolled back. For brick
    // edits, so that a brick that spans two chunks is never stored half.
    AllOrNothing,
    // The rows before the failing statement are committed, the failing one
    // and those after it are not, as if each had been stored by itself. For
    // design imports.
    UpToFailure,
};

struct StoredRows {
    std::size_t count = 0;  // the first count statements are committed
    std::string error;      // why the others are not; empty when all are
};

// Runs the statements in their order inside one transaction on db (one
// commit for all of them) and commits as mode says. A failure to begin or to
// commit stores nothing. A single statement runs as the transaction of its
// own that SQLite makes of it. No other thread may run statements on the
// connection during the call (see StoreGroups for one that may).
StoredRows StoreRows(SqlDatabase& db, const std::vector<SqlBuffer>& statements, StoreMode mode);

// One group of the statements that StoreGroups stores together: the
// statements of one edit, in their order, and how they are kept when one
// fails. ready is the number of leading statements that exist; a group with
// fewer than its whole count failed to be made at statement ready (error
// says why) and is handled as if that statement had failed.
struct StoreGroup {
    const std::vector<SqlBuffer>* statements = nullptr;
    // When given, a text to run just before each statement, in the same
    // transaction (an empty text: nothing); a failure of it is the failure
    // of its statement, which then does not run.
    const std::vector<std::string>* before = nullptr;
    std::size_t ready = 0;
    StoreMode mode = StoreMode::AllOrNothing;
    std::string error;
};

// Stores several groups, in their order, in one transaction with one commit
// (a single statement in all runs as a transaction of its own). Each group
// with more than one fellow is kept apart by a savepoint, so that a
// statement that fails takes back only its own group's rows (AllOrNothing)
// or only its own and the later rows of its group (UpToFailure), and the
// other groups are still committed. An error that ends the transaction
// (SQLite ends it by itself after some, such as a full disk), a failure to
// begin, and a failure to commit store nothing of any group.
//
// connection, when given, is held around each statement and released
// between them, so that another thread may run complete statements of its
// own on the connection in between (a query sees this transaction's rows).
// Returns one StoredRows per group.
std::vector<StoredRows> StoreGroups(SqlDatabase& db, std::vector<StoreGroup>& groups, std::mutex* connection = nullptr);

enum class ChunkRowStatus {
    Loaded,   // the stored bytes were read
    Missing,  // no row, or a row whose data is NULL
    Damaged,  // the row was read and cannot be decoded or unpacked
    Failed,   // the database could not be read (busy, locked, I/O, not open, ...)
};

// Looks up the row of one chunk and decodes it into out (expectedRawLength
// bytes). error says why for Damaged and Failed.
ChunkRowStatus LoadChunkRowInto(SqlDatabase& db, int cx, int cy, int cz, std::uint32_t expectedRawLength,
                                unsigned char* out, std::string& error);
// The same into a vector, which holds the bytes only when Loaded.
ChunkRowStatus LoadChunkRow(SqlDatabase& db, int cx, int cy, int cz, std::uint32_t expectedRawLength,
                            std::vector<unsigned char>& raw, std::string& error);

}  // namespace Tav
