#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sql/TempDir.h"
#include "world/ChunkStoreCodec.h"
#include "world/ScratchBuffers.h"
#include "world/sql/SqlDatabase.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Tav::ChunkRowStatus;
using Tav::kStoredChunkRawLength;

// A serialised cell form that looks generated: x outermost, 256 cells of 3
// bytes (type index big-endian, colour) per x; ground up to a wavy height,
// air above with colour 1.
Bytes TerrainCells(int seed)
{
    Bytes out;
    out.reserve(kStoredChunkRawLength);
    for (int x = 0; x < 16; ++x)
        for (int y = 0; y < 16; ++y)
            for (int z = 0; z < 16; ++z) {
                const int height = 6 + (x * 3 + z * 5 + seed) % 5;
                const int type = y < height ? 1 + (x + y + z + seed) % 3 : 0;
                out.push_back(0);
                out.push_back(static_cast<unsigned char>(type));
                out.push_back(static_cast<unsigned char>(type ? 2 + seed % 7 : 1));
            }
    return out;
}

Bytes RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    Bytes out(n);
    for (auto& c : out)
        c = static_cast<unsigned char>(random());
    return out;
}

std::uint32_t U32At(const Bytes& b, std::size_t at)
{
    return (std::uint32_t(b[at]) << 24) | (std::uint32_t(b[at + 1]) << 16) | (std::uint32_t(b[at + 2]) << 8) | b[at + 3];
}

void SetU32At(Bytes& b, std::size_t at, std::uint32_t v)
{
    for (int k = 0; k < 4; ++k)
        b[at + k] = static_cast<unsigned char>(v >> (24 - 8 * k));
}

// Frames arbitrary bytes by hand: lengths as given, then the bytes.
Bytes Frame(std::uint32_t compressedLength, std::uint32_t rawLength, const Bytes& body)
{
    Bytes out(8 + body.size());
    SetU32At(out, 0, compressedLength);
    SetU32At(out, 4, rawLength);
    std::copy(body.begin(), body.end(), out.begin() + 8);
    return out;
}

Bytes Zlib(const Bytes& raw)
{
    uLongf length = compressBound(raw.size());
    Bytes out(length);
    EXPECT_EQ(compress(out.data(), &length, raw.data(), raw.size()), Z_OK);
    out.resize(length);
    return out;
}

std::string EncodeText(const Bytes& framed)
{
    std::string text(Tav::SqlEncodedBufferSize(framed.size()), '\0');
    text.resize(static_cast<std::size_t>(
        Tav::SqlEncodeBinary(framed.data(), static_cast<int>(framed.size()), reinterpret_cast<unsigned char*>(&text[0]))));
    return text;
}

class ChunkStoreCodecTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Tav::AllocateScratchBuffers();
        m_file = m_dir.File("world.db");
        m_db.Open(m_file.c_str());
        m_db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    }
    void TearDown() override { Tav::FreeScratchBuffers(); }

    void PutRowText(const char* key, const std::string& text)
    {
        Tav::SqlBuffer statement;
        m_db.ExecDml(statement.Format("INSERT OR REPLACE INTO mapdata values (%Q, %Q);", key, text.c_str()));
    }

    // The data text of a row, or "-" when there is none.
    std::string RowText(const std::string& key)
    {
        Tav::SqlBuffer query;
        Tav::SqlQuery q = m_db.ExecQuery(query.Format("select data from mapdata where location = %Q;", key.c_str()));
        return q.Eof() ? "-" : q.FieldValue(0);
    }

    int RowCount()
    {
        Tav::SqlQuery q = m_db.ExecQuery("select count(*) from mapdata;");
        return std::stoi(q.FieldValue(0));
    }

    TavTest::TempDir m_dir;
    std::string m_file;
    Tav::SqlDatabase m_db;
};

TEST_F(ChunkStoreCodecTest, FramedFormHoldsBothLengthsAndAZlibStream)
{
    const Bytes terrain = TerrainCells(3);
    const Bytes incompressible = RandomBytes(kStoredChunkRawLength, 11);
    for (const Bytes* raw : {&terrain, &incompressible}) {
        const Bytes framed = Tav::FrameChunkData(raw->data(), raw->size());
        ASSERT_GT(framed.size(), 8u);
        EXPECT_EQ(U32At(framed, 0), framed.size() - 8);
        EXPECT_EQ(Bytes(framed.begin() + 4, framed.begin() + 8), (Bytes{0x00, 0x00, 0x30, 0x00}));
        // A plain zlib stream of the raw bytes at the default level.
        Bytes back(raw->size());
        uLongf length = back.size();
        ASSERT_EQ(uncompress(back.data(), &length, framed.data() + 8, framed.size() - 8), Z_OK);
        EXPECT_EQ(back, *raw);
        EXPECT_EQ(Bytes(framed.begin() + 8, framed.end()), Zlib(*raw));
    }
    // Random data does not fit in its raw length; it is stored whole anyway.
    EXPECT_GT(Tav::FrameChunkData(incompressible.data(), incompressible.size()).size(), 8 + incompressible.size());

    // Without the scratch buffers, and beyond their size, a heap buffer
    // serves and the bytes are the same.
    const Bytes withScratch = Tav::FrameChunkData(terrain.data(), terrain.size());
    Tav::FreeScratchBuffers();
    EXPECT_EQ(Tav::FrameChunkData(terrain.data(), terrain.size()), withScratch);
    Tav::AllocateScratchBuffers();
    Bytes large(Tav::kCompressBufferSize + 4096, 0);
    large[12345] = 7;
    const Bytes framed = Tav::FrameChunkData(large.data(), large.size());
    EXPECT_EQ(U32At(framed, 4), large.size());
    Bytes back;
    std::string error;
    ASSERT_TRUE(Tav::UnframeChunkData(framed.data(), framed.size(), static_cast<std::uint32_t>(large.size()), back, error))
        << error;
    EXPECT_EQ(back, large);
}

TEST_F(ChunkStoreCodecTest, StatementTexts)
{
    Tav::SqlBuffer buffer;
    EXPECT_STREQ(Tav::FormatChunkStoreStatement(buffer, -1, 0, 12, "ab\x02z"),
                 "INSERT OR REPLACE INTO mapdata values ('-1,0,12', 'ab\x02z');");
    EXPECT_STREQ(Tav::FormatChunkLoadQuery(buffer, -24000, 4, 23999),
                 "select data from mapdata where location = '-24000,4,23999';");
}

TEST_F(ChunkStoreCodecTest, StoresReplacesAndLoadsRowsInWorldDb)
{
    const Bytes first = TerrainCells(1);
    const Bytes second = RandomBytes(kStoredChunkRawLength, 5);  // the worst case for escapes

    Tav::StoreChunkRow(m_db, -1, 0, 12, first.data(), first.size());
    Tav::StoreChunkRow(m_db, 0, 4, -24000, first.data(), first.size());
    {
        Tav::SqlQuery keys = m_db.ExecQuery("select location from mapdata order by location;");
        ASSERT_FALSE(keys.Eof());
        EXPECT_STREQ(keys.FieldValue(0), "-1,0,12");
        keys.NextRow();
        ASSERT_FALSE(keys.Eof());
        EXPECT_STREQ(keys.FieldValue(0), "0,4,-24000");
    }

    Tav::StoreChunkRow(m_db, -1, 0, 12, second.data(), second.size());
    EXPECT_EQ(RowCount(), 2);
    {
        // The column holds exactly the encoded text, as text.
        const std::string text = Tav::EncodeChunkRow(second.data(), second.size());
        EXPECT_EQ(text, EncodeText(Tav::FrameChunkData(second.data(), second.size())));
        Tav::SqlBuffer expectHex;
        Tav::SqlQuery hex = m_db.ExecQuery(expectHex.Format("select hex(%Q);", text.c_str()));
        Tav::SqlQuery row = m_db.ExecQuery(
            "select typeof(data), hex(data), length(CAST(data AS BLOB)) from mapdata where location = '-1,0,12';");
        EXPECT_STREQ(row.FieldValue(0), "text");
        EXPECT_STREQ(row.FieldValue(1), hex.FieldValue(0));
        EXPECT_EQ(row.FieldValue(2), std::to_string(text.size()));
    }

    // A later run, on a new connection, finds the replaced row.
    m_db.Close();
    Tav::SqlDatabase later;
    later.Open(m_file.c_str());
    Bytes raw;
    std::string error;
    EXPECT_EQ(Tav::LoadChunkRow(later, -1, 0, 12, kStoredChunkRawLength, raw, error), ChunkRowStatus::Loaded) << error;
    EXPECT_EQ(raw, second);
    EXPECT_EQ(Tav::LoadChunkRow(later, 0, 4, -24000, kStoredChunkRawLength, raw, error), ChunkRowStatus::Loaded);
    EXPECT_EQ(raw, first);
    EXPECT_EQ(Tav::LoadChunkRow(later, 1, 0, 12, kStoredChunkRawLength, raw, error), ChunkRowStatus::Missing);
    EXPECT_TRUE(raw.empty());

    later.ExecDml("INSERT INTO mapdata values ('2,2,2', NULL);");
    EXPECT_EQ(Tav::LoadChunkRow(later, 2, 2, 2, kStoredChunkRawLength, raw, error), ChunkRowStatus::Missing);

    // Errors of the database are a failure with the exception's text, not a
    // damaged row.
    later.Close();
    EXPECT_EQ(Tav::LoadChunkRow(later, -1, 0, 12, kStoredChunkRawLength, raw, error), ChunkRowStatus::Failed);
    EXPECT_EQ(error, "SQLWRAPPER_ERROR[1000]: Database not open");
    EXPECT_THROW(Tav::StoreChunkRow(later, 0, 0, 0, first.data(), first.size()), Tav::SqlException);
}

TEST_F(ChunkStoreCodecTest, ASetOfRowsIsStoredInOneTransactionAsItsModeSays)
{
    const std::vector<Bytes> cells = {TerrainCells(1), TerrainCells(2), TerrainCells(3)};
    auto statements = [&] {
        std::vector<Tav::SqlBuffer> s(cells.size());
        for (std::size_t i = 0; i < cells.size(); ++i)
            Tav::FormatChunkRowStatement(s[i], static_cast<int>(i), 0, 0, cells[i].data(), cells[i].size());
        return s;
    };
    // The statement of the middle row fails: a trigger refuses its key.
    m_db.ExecDml("CREATE TRIGGER refuse BEFORE INSERT ON mapdata WHEN NEW.location = '1,0,0' "
                 "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    struct Case {
        Tav::StoreMode mode;
        std::size_t stored;
    };
    for (const Case& c : {Case{Tav::StoreMode::AllOrNothing, 0}, Case{Tav::StoreMode::UpToFailure, 1}}) {
        m_db.ExecDml("DELETE FROM mapdata;");
        const Tav::StoredRows result = Tav::StoreRows(m_db, statements(), c.mode);
        EXPECT_EQ(result.count, c.stored);
        EXPECT_NE(result.error.find("refused"), std::string::npos) << result.error;
        EXPECT_EQ(RowCount(), static_cast<int>(c.stored));
        EXPECT_EQ(RowText("0,0,0") != "-", c.stored == 1);
        EXPECT_FALSE(m_db.InTransaction());
    }

    // Without it every row is stored, each exactly as storing it alone would.
    m_db.ExecDml("DROP TRIGGER refuse;");
    const Tav::StoredRows all = Tav::StoreRows(m_db, statements(), Tav::StoreMode::AllOrNothing);
    EXPECT_EQ(all.count, 3u);
    EXPECT_EQ(all.error, "");
    for (std::size_t i = 0; i < cells.size(); ++i)
        EXPECT_EQ(RowText(std::to_string(i) + ",0,0"), Tav::EncodeChunkRow(cells[i].data(), cells[i].size()));

    // A database that another connection keeps locked stores nothing.
    Tav::SqlDatabase other;
    other.Open(m_file.c_str());
    other.ExecDml("BEGIN EXCLUSIVE;");
    m_db.SetBusyTimeout(20);
    for (Tav::StoreMode mode : {Tav::StoreMode::AllOrNothing, Tav::StoreMode::UpToFailure}) {
        const Tav::StoredRows busy = Tav::StoreRows(m_db, statements(), mode);
        EXPECT_EQ(busy.count, 0u);
        EXPECT_EQ(busy.error.rfind("SQLITE_BUSY[5]", 0), 0u) << busy.error;
    }
    other.ExecDml("ROLLBACK;");
}

// The store thread's batches: several edits' sets in one transaction, each
// kept or taken back by itself.
TEST_F(ChunkStoreCodecTest, GroupsInOneTransactionAreKeptOrTakenBackEachByItself)
{
    std::vector<Bytes> cells;
    for (int i = 0; i < 5; ++i) cells.push_back(TerrainCells(i + 1));
    auto statements = [&](std::initializer_list<int> rows) {
        std::vector<Tav::SqlBuffer> s(rows.size());
        std::size_t k = 0;
        for (int i : rows) {
            Tav::FormatChunkRowStatement(s[k++], i, 0, 0, cells[i].data(), cells[i].size());
        }
        return s;
    };
    // Row 1's statement fails; row 4's statement could not be made.
    m_db.ExecDml("CREATE TRIGGER refuse BEFORE INSERT ON mapdata WHEN NEW.location = '1,0,0' "
                 "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    const std::vector<Tav::SqlBuffer> a = statements({0, 1}), b = statements({2}), c = statements({3, 4});
    struct Case {
        Tav::StoreMode mode;
        std::vector<std::size_t> stored;  // of each group
        std::vector<const char*> rows;    // what the database holds after
    };
    const std::vector<Case> cases = {
        {Tav::StoreMode::AllOrNothing, {0, 1, 0}, {"2,0,0"}},
        {Tav::StoreMode::UpToFailure, {1, 1, 1}, {"0,0,0", "2,0,0", "3,0,0"}},
    };
    std::mutex connection;
    for (const Case& k : cases) {
        m_db.ExecDml("DELETE FROM mapdata;");
        std::vector<Tav::StoreGroup> groups(3);
        const std::vector<Tav::SqlBuffer>* sets[] = {&a, &b, &c};
        for (std::size_t i = 0; i < 3; ++i) {
            groups[i].statements = sets[i];
            groups[i].ready = sets[i]->size();
            groups[i].mode = k.mode;
        }
        groups[2].ready = 1;
        groups[2].error = "out of memory";
        const std::vector<Tav::StoredRows> result = Tav::StoreGroups(m_db, groups, &connection);
        ASSERT_EQ(result.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(result[i].count, k.stored[i]) << "group " << i;
        EXPECT_NE(result[0].error.find("refused"), std::string::npos) << result[0].error;
        EXPECT_EQ(result[1].error, "");
        EXPECT_EQ(result[2].error, "out of memory");
        EXPECT_EQ(RowCount(), static_cast<int>(k.rows.size()));
        for (const char* row : k.rows)
            EXPECT_EQ(RowText(row), Tav::EncodeChunkRow(cells[row[0] - '0'].data(), cells[row[0] - '0'].size()));
        EXPECT_FALSE(m_db.InTransaction());
    }

    // A busy database stores no group, and says why for each.
    m_db.ExecDml("DROP TRIGGER refuse;");
    Tav::SqlDatabase other;
    other.Open(m_file.c_str());
    other.ExecDml("BEGIN EXCLUSIVE;");
    m_db.SetBusyTimeout(20);
    std::vector<Tav::StoreGroup> groups(2);
    groups[0].statements = &a;
    groups[0].ready = a.size();
    groups[1].statements = &b;
    groups[1].ready = b.size();
    for (const Tav::StoredRows& r : Tav::StoreGroups(m_db, groups, &connection)) {
        EXPECT_EQ(r.count, 0u);
        EXPECT_EQ(r.error.rfind("SQLITE_BUSY[5]", 0), 0u) << r.error;
    }
    other.ExecDml("ROLLBACK;");
}

TEST_F(ChunkStoreCodecTest, DamagedRowsFailCleanly)
{
    const Bytes raw = TerrainCells(2);
    const Bytes good = Tav::FrameChunkData(raw.data(), raw.size());
    const Bytes body(good.begin() + 8, good.end());
    const std::uint32_t c = static_cast<std::uint32_t>(body.size());

    Bytes flipped = good;
    flipped[8 + body.size() / 2] ^= 0x5A;
    Bytes badChecksum = good;
    badChecksum.back() ^= 0x01;
    const Bytes shortRaw(100, 3);
    const Bytes longRaw(kStoredChunkRawLength + 1, 0);

    struct Case {
        const char* what;
        std::string text;
        std::string error;  // expected start of the error text
    };
    const std::vector<Case> cases = {
        {"bad escape", std::string("\x05\x01\x04", 3), "SQLWRAPPER_ERROR[1000]: Cannot decode binary"},
        {"escape at the end", std::string("\x05\x07\x01", 3), "SQLWRAPPER_ERROR[1000]: Cannot decode binary"},
        {"empty text", "", "Stored chunk is truncated"},
        {"no bytes", "x", "Stored chunk is truncated"},
        {"half a header", EncodeText(Bytes(good.begin(), good.begin() + 7)), "Stored chunk is truncated"},
        {"header only", EncodeText(Bytes(good.begin(), good.begin() + 8)), "Stored chunk claims"},
        {"cut stream", EncodeText(Bytes(good.begin(), good.end() - 1)), "Stored chunk claims"},
        {"huge compressed length", EncodeText(Frame(0xFFFFFFFFu, kStoredChunkRawLength, body)), "Stored chunk claims"},
        {"wrong raw length", EncodeText(Frame(c, 12287, body)), "Stored chunk has raw length 12287"},
        {"huge raw length", EncodeText(Frame(c, 0xFFFFFFFFu, body)), "Stored chunk has raw length 4294967295"},
        {"corrupt stream", EncodeText(flipped), "Stored chunk does not decompress"},
        {"bad checksum", EncodeText(badChecksum), "Stored chunk does not decompress"},
        {"stream cut within its length", EncodeText(Frame(c - 4, kStoredChunkRawLength, body)),
         "Stored chunk does not decompress"},
        {"too little data", EncodeText(Frame(static_cast<std::uint32_t>(Zlib(shortRaw).size()), kStoredChunkRawLength,
                                             Zlib(shortRaw))),
         "Stored chunk decompresses to 100 bytes"},
        {"too much data", EncodeText(Frame(static_cast<std::uint32_t>(Zlib(longRaw).size()), kStoredChunkRawLength,
                                           Zlib(longRaw))),
         "Stored chunk does not decompress"},
    };
    for (const Case& k : cases) {
        PutRowText("5,1,-5", k.text);
        Bytes out(3, 9);
        std::string error;
        EXPECT_EQ(Tav::LoadChunkRow(m_db, 5, 1, -5, kStoredChunkRawLength, out, error), ChunkRowStatus::Damaged) << k.what;
        EXPECT_EQ(error.rfind(k.error, 0), 0u) << k.what << ": " << error;
        EXPECT_TRUE(out.empty()) << k.what;

        // The same through the pure decoder, on exactly the text's bytes.
        const Bytes exact(k.text.begin(), k.text.end());
        EXPECT_FALSE(Tav::DecodeChunkRow(reinterpret_cast<const char*>(exact.data()), exact.size(),
                                         kStoredChunkRawLength, out, error))
            << k.what;
    }

    // Bytes after the stream are tolerated; the undamaged row still loads.
    Bytes trailing = good;
    trailing.push_back(0);
    for (const Bytes* framed : std::vector<const Bytes*>{&good, &trailing}) {
        PutRowText("5,1,-5", EncodeText(*framed));
        Bytes out;
        std::string error;
        EXPECT_EQ(Tav::LoadChunkRow(m_db, 5, 1, -5, kStoredChunkRawLength, out, error), ChunkRowStatus::Loaded) << error;
        EXPECT_EQ(out, raw);
    }
}

TEST_F(ChunkStoreCodecTest, ThreadsShareTheCompressBufferSafely)
{
    // Every thread encodes its own chunks through the one scratch buffer; a
    // use that overlapped another's would mix their bytes.
    constexpr int kThreads = 4;
    constexpr int kRounds = 25;
    std::vector<std::vector<std::string>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &results] {
            const Bytes raw = TerrainCells(t);
            for (int r = 0; r < kRounds; ++r)
                results[t].push_back(Tav::EncodeChunkRow(raw.data(), raw.size()));
        });
    for (auto& thread : threads)
        thread.join();

    for (int t = 0; t < kThreads; ++t) {
        const Bytes raw = TerrainCells(t);
        const std::string expected = EncodeText(Tav::FrameChunkData(raw.data(), raw.size()));
        for (const std::string& text : results[t])
            ASSERT_EQ(text, expected) << "thread " << t;
        Bytes back;
        std::string error;
        ASSERT_TRUE(Tav::DecodeChunkRow(expected.data(), expected.size(), kStoredChunkRawLength, back, error)) << error;
        EXPECT_EQ(back, raw);
    }
}

}  // namespace
