#include "world/ChunkStoreCodec.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <stdexcept>

#include <zlib.h>

#include "world/BigEndian.h"
#include "world/ScratchBuffers.h"
#include "world/sql/SqlDatabase.h"

namespace Tav {

namespace {

// Largest framed length that the text encoding takes (its length is an int).
constexpr std::size_t kMaxFramed = 2000000000;

// Room that framing n raw bytes needs: the header and zlib's bound, so that
// compression cannot run out of space whatever the input (for the serialised
// cell form the output is far below n anyway).
std::size_t FramedBound(std::size_t n)
{
    const uLong bound = compressBound(static_cast<uLong>(n));
    if (n > 0xFFFFFFFFu || bound > kMaxFramed - kChunkFrameHeaderSize)
        throw std::length_error("chunk data too long to store");
    return kChunkFrameHeaderSize + bound;
}

// Frames n raw bytes into room (at least FramedBound(n) bytes); returns the
// framed length.
std::size_t FrameInto(unsigned char* room, std::size_t roomSize, const unsigned char* raw, std::size_t n)
{
    uLongf compressedLength = static_cast<uLongf>(roomSize - kChunkFrameHeaderSize);
    const int rc = compress(room + kChunkFrameHeaderSize, &compressedLength, raw, static_cast<uLong>(n));
    if (rc == Z_MEM_ERROR)
        throw std::bad_alloc();
    if (rc != Z_OK)  // cannot happen with room of compressBound bytes
        throw std::length_error("chunk data cannot be compressed");
    StoreU32BE(room, static_cast<std::uint32_t>(compressedLength));
    StoreU32BE(room + 4, static_cast<std::uint32_t>(n));
    return kChunkFrameHeaderSize + compressedLength;
}

const char kCannotDecode[] = "SQLWRAPPER_ERROR[1000]: Cannot decode binary";

}  // namespace

std::vector<unsigned char> FrameChunkData(const unsigned char* raw, std::size_t n)
{
    std::vector<unsigned char> framed(FramedBound(n));
    framed.resize(FrameInto(framed.data(), framed.size(), raw, n));
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

namespace {

// Frames and encodes n raw bytes in room (framedRoom + the encoding's room)
// and formats the statement.
const char* FormatRowIn(unsigned char* room, std::size_t framedRoom, SqlBuffer& out, int cx, int cy, int cz,
                        const unsigned char* raw, std::size_t n)
{
    const std::size_t m = FrameInto(room, framedRoom, raw, n);
    unsigned char* text = room + framedRoom;
    SqlEncodeBinary(room, static_cast<int>(m), text);
    return FormatChunkStoreStatement(out, cx, cy, cz, reinterpret_cast<const char*>(text));
}

}  // namespace

const char* FormatChunkRowStatement(SqlBuffer& out, int cx, int cy, int cz, const unsigned char* raw, std::size_t n)
{
    const std::size_t framedRoom = FramedBound(n);
    const std::size_t textRoom = SqlEncodedBufferSize(framedRoom);
    ScratchBufferLock scratch(ScratchBuffer::Compress);
    std::vector<unsigned char> heap;
    unsigned char* room = scratch.Data();
    if (!room || scratch.Size() < framedRoom + textRoom) {
        heap.resize(framedRoom + textRoom);
        room = heap.data();
    }
    return FormatRowIn(room, framedRoom, out, cx, cy, cz, raw, n);
}

const char* FormatChunkRowStatement(SqlBuffer& out, int cx, int cy, int cz, const unsigned char* raw, std::size_t n,
                                    std::vector<unsigned char>& room)
{
    const std::size_t framedRoom = FramedBound(n);
    const std::size_t textRoom = SqlEncodedBufferSize(framedRoom);
    if (room.size() < framedRoom + textRoom)
        room.resize(framedRoom + textRoom);
    return FormatRowIn(room.data(), framedRoom, out, cx, cy, cz, raw, n);
}

std::string FormatKeepDamagedRow(int cx, int cy, int cz, const std::string& found)
{
    SqlBuffer out;
    out.Format("CREATE TABLE IF NOT EXISTS %s(location TEXT, data blob, found TEXT, kept TEXT);"
               "INSERT INTO %s SELECT location, data, %Q, strftime('%%Y-%%m-%%d %%H:%%M:%%f', 'now') FROM mapdata"
               " WHERE location = '%d,%d,%d' AND NOT EXISTS"
               " (SELECT 1 FROM %s WHERE location = '%d,%d,%d' AND found = %Q);",
               kDamagedRowsTable, kDamagedRowsTable, found.c_str(), cx, cy, cz, kDamagedRowsTable, cx, cy, cz,
               found.c_str());
    return out.Text();
}

const char* FormatChunkLoadQuery(SqlBuffer& out, int cx, int cy, int cz)
{
    return out.Format("select data from mapdata where location = '%d,%d,%d';", cx, cy, cz);
}

bool InflateChunkFrame(const unsigned char* framed, std::size_t m, std::uint32_t expectedRawLength,
                       unsigned char* out, std::string& error)
{
    if (m < kChunkFrameHeaderSize) {
        error = "Stored chunk is truncated: " + std::to_string(m) + " bytes";
        return false;
    }
    const std::uint32_t compressedLength = LoadU32BE(framed);
    const std::uint32_t rawLength = LoadU32BE(framed + 4);
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
    uLongf produced = rawLength;
    const int rc = uncompress(out, &produced, framed + kChunkFrameHeaderSize, compressedLength);
    if (rc != Z_OK) {
        if (rc == Z_MEM_ERROR)
            throw std::bad_alloc();
        error = std::string("Stored chunk does not decompress: ") +
                (rc == Z_BUF_ERROR ? "truncated or longer than its raw length" : "corrupt data");
        return false;
    }
    if (produced != rawLength) {
        error = "Stored chunk decompresses to " + std::to_string(produced) + " bytes, expected " +
                std::to_string(rawLength);
        return false;
    }
    return true;
}

bool UnframeChunkData(const unsigned char* framed, std::size_t m, std::uint32_t expectedRawLength,
                      std::vector<unsigned char>& raw, std::string& error)
{
    // The raw length is the caller's own, so this allocation is never one
    // that a row asks for.
    raw.resize(expectedRawLength);
    if (InflateChunkFrame(framed, m, expectedRawLength, raw.data(), error))
        return true;
    raw.clear();
    return false;
}

bool DecodeChunkRowInto(const char* text, std::size_t length, std::uint32_t expectedRawLength, unsigned char* out,
                        std::string& error)
{
    // The decoded bytes are never longer than the text.
    ScratchBufferLock scratch(ScratchBuffer::Compress);
    std::vector<unsigned char> heap;
    unsigned char* framed = scratch.Data();
    if (!framed || scratch.Size() < length) {
        heap.resize(length);
        framed = heap.data();
    }
    const int m = SqlDecodeBinary(reinterpret_cast<const unsigned char*>(text), length, framed);
    if (m < 0) {
        error = kCannotDecode;
        return false;
    }
    return InflateChunkFrame(framed, static_cast<std::size_t>(m), expectedRawLength, out, error);
}

bool DecodeChunkRow(const char* text, std::size_t length, std::uint32_t expectedRawLength,
                    std::vector<unsigned char>& raw, std::string& error)
{
    raw.resize(expectedRawLength);
    if (DecodeChunkRowInto(text, length, expectedRawLength, raw.data(), error))
        return true;
    raw.clear();
    return false;
}

void StoreChunkRow(SqlDatabase& db, int cx, int cy, int cz, const unsigned char* raw, std::size_t n)
{
    SqlBuffer statement;
    db.ExecDml(FormatChunkRowStatement(statement, cx, cy, cz, raw, n));
}

namespace {

// Runs one statement, holding the connection's mutex (when there is one)
// for just that statement.
void Exec(SqlDatabase& db, std::mutex* connection, const char* sql)
{
    std::unique_lock<std::mutex> lock;
    if (connection)
        lock = std::unique_lock<std::mutex>(*connection);
    db.ExecDml(sql);
}

struct TransactionEnded {};

// Runs one statement of an open transaction, holding the connection's mutex
// (when there is one) for just that statement. Throws TransactionEnded,
// without running it, when the transaction is no longer open: the statement
// would otherwise run (and commit) by itself.
void ExecInTransaction(SqlDatabase& db, std::mutex* connection, const char* sql)
{
    std::unique_lock<std::mutex> lock;
    if (connection)
        lock = std::unique_lock<std::mutex>(*connection);
    if (!db.InTransaction())
        throw TransactionEnded();
    db.ExecDml(sql);
}

void RollBack(SqlDatabase& db, std::mutex* connection)
{
    if (!db.InTransaction())
        return;  // SQLite has rolled it back already
    try {
        Exec(db, connection, "ROLLBACK;");
    } catch (const SqlException&) {
        // Nothing more can be done; the connection ends the transaction when it closes.
    }
}

// Every group stored nothing; those without an error of their own get why.
void StoredNone(std::vector<StoredRows>& results, const std::string& error)
{
    for (StoredRows& r : results) {
        r.count = 0;
        if (r.error.empty())
            r.error = error;
    }
}

}  // namespace

StoredRows StoreRows(SqlDatabase& db, const std::vector<SqlBuffer>& statements, StoreMode mode)
{
    std::vector<StoreGroup> groups(1);
    groups[0].statements = &statements;
    groups[0].ready = statements.size();
    groups[0].mode = mode;
    return StoreGroups(db, groups)[0];
}

std::vector<StoredRows> StoreGroups(SqlDatabase& db, std::vector<StoreGroup>& groups, std::mutex* connection)
{
    std::vector<StoredRows> results(groups.size());
    std::size_t total = 0;
    for (const StoreGroup& g : groups) {
        total += g.statements ? g.statements->size() : 0;
        if (g.before)
            for (const std::string& text : *g.before)
                total += text.empty() ? 0 : 1;
    }
    if (total == 0)
        return results;
    if (total == 1) {
        // One statement is a transaction of its own, whole or not at all.
        for (std::size_t i = 0; i < groups.size(); ++i) {
            const StoreGroup& g = groups[i];
            if (!g.statements || g.statements->empty())
                continue;
            if (g.ready == 0) {
                results[i].error = g.error;
                break;
            }
            try {
                Exec(db, connection, (*g.statements)[0]);
                results[i].count = 1;
            } catch (const SqlException& e) {
                results[i].error = e.ErrorMessage();
            }
        }
        return results;
    }
    try {
        // The write lock up front: a busy database fails here, before any row.
        Exec(db, connection, "BEGIN IMMEDIATE;");
    } catch (const SqlException& e) {
        StoredNone(results, e.ErrorMessage());
        return results;
    }
    try {
        // Groups are kept apart only when there is more than one.
        const bool apart = groups.size() > 1;
        bool anyRow = false;
        for (std::size_t i = 0; i < groups.size(); ++i) {
            const StoreGroup& g = groups[i];
            const std::size_t n = g.statements ? g.statements->size() : 0;
            if (n == 0)
                continue;
            std::size_t done = 0;
            std::string error;
            try {
                if (apart)
                    ExecInTransaction(db, connection, "SAVEPOINT edit;");
                for (; done < n; ++done) {
                    if (done >= g.ready) {
                        error = g.error;
                        break;
                    }
                    if (g.before && done < g.before->size() && !(*g.before)[done].empty())
                        ExecInTransaction(db, connection, (*g.before)[done].c_str());
                    ExecInTransaction(db, connection, (*g.statements)[done]);
                }
            } catch (const SqlException& e) {
                error = e.ErrorMessage();
            }
            if (!db.InTransaction()) {
                // SQLite ended the transaction: every row of it is gone.
                StoredNone(results, error);
                return results;
            }
            const bool keep = done == n || (g.mode == StoreMode::UpToFailure && done > 0);
            try {
                if (!keep && apart)
                    ExecInTransaction(db, connection, "ROLLBACK TO edit;");
                if (apart)
                    ExecInTransaction(db, connection, "RELEASE edit;");
            } catch (const SqlException& e) {
                // The group's rows cannot be told from the others any more.
                StoredNone(results, e.ErrorMessage());
                RollBack(db, connection);
                return results;
            }
            if (!keep && !apart) {
                results[i].error = error;
                RollBack(db, connection);
                return results;
            }
            results[i].count = keep ? done : 0;
            results[i].error = error;
            anyRow = anyRow || results[i].count > 0;
        }
        if (!anyRow) {
            RollBack(db, connection);
            return results;
        }
        try {
            // After an error that made SQLite end the transaction itself, this
            // fails too and nothing is stored.
            ExecInTransaction(db, connection, "COMMIT;");
        } catch (const SqlException& e) {
            StoredNone(results, e.ErrorMessage());
            RollBack(db, connection);
        }
    } catch (const TransactionEnded&) {
        // Another thread's statement on the connection failed in a way
        // that made SQLite roll the transaction back: nothing of it is
        // stored, and nothing more may run as if it were still open.
        StoredNone(results, "the transaction was rolled back by the database");
    }
    return results;
}

ChunkRowStatus LoadChunkRowInto(SqlDatabase& db, int cx, int cy, int cz, std::uint32_t expectedRawLength,
                                unsigned char* out, std::string& error)
{
    try {
        SqlBuffer statement;
        SqlQuery query = db.ExecQuery(FormatChunkLoadQuery(statement, cx, cy, cz));
        if (query.Eof())
            return ChunkRowStatus::Missing;
        const int field = query.FieldIndex("data");
        const char* text = query.FieldIsNull(field) ? nullptr : query.FieldValue(field);
        if (!text)
            return ChunkRowStatus::Missing;
        const int length = query.FieldLength(field);
        const bool ok = DecodeChunkRowInto(text, static_cast<std::size_t>(length), expectedRawLength, out, error);
        query.Finalize();
        return ok ? ChunkRowStatus::Loaded : ChunkRowStatus::Damaged;
    } catch (const SqlException& e) {
        error = e.ErrorMessage();
        return ChunkRowStatus::Failed;
    }
}

ChunkRowStatus LoadChunkRow(SqlDatabase& db, int cx, int cy, int cz, std::uint32_t expectedRawLength,
                            std::vector<unsigned char>& raw, std::string& error)
{
    raw.resize(expectedRawLength);
    const ChunkRowStatus status = LoadChunkRowInto(db, cx, cy, cz, expectedRawLength, raw.data(), error);
    if (status != ChunkRowStatus::Loaded)
        raw.clear();
    return status;
}

// ------------------------------------------------------------ the start

namespace {

// SQLite's extended code of a write into a folder where it cannot make its
// journal.
constexpr int kReadOnlyDirectory = 8 | (6 << 8);

[[noreturn]] void Refuse(const std::string& file, const std::string& reason)
{
    throw ChunkStoreRefused("Cannot use " + file + ": " + reason + ". The server does not start.");
}

std::string ErrnoText(int error) { return std::strerror(error); }

// SQLite's own text of an error, without the code's name and number.
std::string SqliteText(const SqlException& e)
{
    const std::string message = e.ErrorMessage();
    const std::size_t at = message.find("]: ");
    return at == std::string::npos ? message : message.substr(at + 3);
}

std::string FolderOf(const std::string& file)
{
    const std::size_t slash = file.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : file.substr(0, slash);
}

// The folder of the file as an absolute path, when it can be had.
std::string FullFolderOf(const std::string& file)
{
    const std::string folder = FolderOf(file);
    char* full = ::realpath(folder.c_str(), nullptr);
    if (!full)
        return folder;
    std::string text(full);
    std::free(full);
    return text;
}

// Why the open failed, as far as the file system tells.
std::string WhyNotOpened(const std::string& file, const std::string& sqliteText)
{
    struct stat st {};
    if (::lstat(file.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return "it is a folder, not a file";
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(file.c_str(), target, sizeof target - 1);
            const std::string to = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string("?");
            struct stat resolved {};
            if (::stat(file.c_str(), &resolved) != 0)
                return "it is a link to " + to + ", which does not exist and cannot be made (" +
                       ErrnoText(errno) + ")";
            if (S_ISDIR(resolved.st_mode))
                return "it is a link to " + to + ", which is a folder, not a file";
        }
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return "it cannot be opened (" + ErrnoText(errno) + ")";
        ::close(fd);
        return "it cannot be opened (" + sqliteText + ")";
    }
    if (errno == ENOENT) {
        const std::string folder = FolderOf(file);
        struct stat dir {};
        if (::stat(folder.c_str(), &dir) != 0)
            return "it does not exist, and neither does its folder " + folder;
        if (::access(folder.c_str(), W_OK | X_OK) != 0)
            return "it does not exist and cannot be made in its folder (" + ErrnoText(errno) + ")";
        return "it does not exist and cannot be made in its folder (" + sqliteText + ")";
    }
    return "it cannot be opened (" + ErrnoText(errno) + ")";
}

// Why a file that SQLite opened read-only cannot be written.
std::string WhyReadOnly(const std::string& file)
{
    const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return ErrnoText(errno);
    ::close(fd);
    return "SQLite opened it read-only";
}

std::uint32_t Big32(const unsigned char* p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// A file shorter than the pages its header counts: "" when it is not.
std::string Truncation(const std::string& file)
{
    std::ifstream in(file, std::ios::binary | std::ios::ate);
    if (!in)
        return std::string();
    const std::streamoff size = in.tellg();
    unsigned char header[100];
    in.seekg(0);
    if (size < 100 || !in.read(reinterpret_cast<char*>(header), sizeof header))
        return std::string();
    if (std::memcmp(header, "SQLite format 3", 16) != 0)
        return std::string();
    const std::uint32_t rawPageSize = (std::uint32_t(header[16]) << 8) | header[17];
    const std::uint64_t pageSize = rawPageSize == 1 ? 65536 : rawPageSize;
    const std::uint32_t pages = Big32(header + 28);
    // The count is valid only while the change counter matches the one it
    // was written with.
    if (pages == 0 || Big32(header + 24) != Big32(header + 92))
        return std::string();
    const std::uint64_t expected = pageSize * pages;
    if (static_cast<std::uint64_t>(size) >= expected)
        return std::string();
    return "it is truncated (" + std::to_string(size) + " bytes, where its header counts " + std::to_string(pages) +
           " pages of " + std::to_string(pageSize) + " bytes)";
}

}  // namespace

namespace {

void OpenAndCheck(SqlDatabase& db, const std::string& file)
{
    try {
        db.Open(file.c_str());
    } catch (const SqlException& e) {
        Refuse(file, WhyNotOpened(file, SqliteText(e)));
    }
    // SQLite opens a file that may not be written read-only, without an error.
    if (db.IsReadOnly())
        Refuse(file, "it cannot be written (" + WhyReadOnly(file) + ")");

    bool tableExists = false;
    try {
        // Reading the schema also rolls back what a killed writer left in
        // the journal.
        SqlQuery query = db.ExecQuery("select name from sqlite_master where type = 'table' and name = 'mapdata';");
        tableExists = !query.Eof();
    } catch (const SqlException& e) {
        Refuse(file, "it is damaged or is not a database (" + SqliteText(e) + ")");
    }
    const std::string truncated = Truncation(file);
    if (!truncated.empty())
        Refuse(file, truncated);

    try {
        db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    } catch (const SqlException& e) {
        if (!tableExists)
            Refuse(file, std::string("its table mapdata cannot be made (") + SqliteText(e) + ")");
        // The table exists already.
    }
    try {
        SqlBuffer load;
        db.ExecQuery(FormatChunkLoadQuery(load, 0, 0, 0));
    } catch (const SqlException& e) {
        if (e.ErrorCode() == 1)  // SQLITE_ERROR: the query does not fit the table
            Refuse(file, std::string("its table mapdata does not hold chunk rows (") + SqliteText(e) + ")");
        Refuse(file, std::string("it cannot be read (") + SqliteText(e) + ")");
    }

    // A row written and taken back: the write lock, the journal beside the
    // file and a page of the table, without changing the file.
    try {
        db.ExecDml("BEGIN IMMEDIATE;");
    } catch (const SqlException& e) {
        Refuse(file, std::string("it cannot be written (") + SqliteText(e) + ")");
    }
    std::string failure;
    try {
        SqlBuffer probe;
        db.ExecDml(FormatChunkStoreStatement(probe, 0, 0, 0, "x"));
    } catch (const SqlException& e) {
        const int extended = db.ExtendedErrorCode();
        if (e.ErrorCode() == 1)  // SQLITE_ERROR: the statement does not fit the table
            failure = std::string("its table mapdata does not hold chunk rows (") + SqliteText(e) + ")";
        else if (extended == kReadOnlyDirectory)
            failure = "it cannot be written: its folder " + FullFolderOf(file) +
                      " does not let SQLite make its journal there (" + SqliteText(e) + ")";
        else
            failure = std::string("it cannot be written (") + SqliteText(e) + ")";
    }
    if (db.InTransaction()) {
        try {
            db.ExecDml("ROLLBACK;");
        } catch (const SqlException& e) {
            if (failure.empty())
                failure = std::string("it cannot be written (") + SqliteText(e) + ")";
        }
    }
    if (!failure.empty())
        Refuse(file, failure);
}

}  // namespace

void OpenChunkStore(SqlDatabase& db, const std::string& file)
{
    try {
        OpenAndCheck(db, file);
    } catch (const ChunkStoreRefused&) {
        try {
            db.Close();
        } catch (const SqlException&) {
            // Destroying the object closes it at last.
        }
        throw;
    }
}

}  // namespace Tav
