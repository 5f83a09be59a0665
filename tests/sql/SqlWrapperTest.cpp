#include <sqlite3.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sql/TempDir.h"
#include "world/sql/SqlDatabase.h"

namespace {

using Tav::SqlBuffer;
using Tav::SqlDatabase;
using Tav::SqlException;
using Tav::SqlQuery;

// Runs f and returns the exception it raised, failing the test if none.
SqlException Raised(const std::function<void()>& f)
{
    try {
        f();
    } catch (const SqlException& e) {
        return e;
    }
    ADD_FAILURE() << "no SqlException raised";
    return SqlException(-12345, "none");
}

TEST(SqlExceptionTest, CodeNames)
{
    const std::vector<std::pair<int, const char*>> names = {
        {0, "SQLITE_OK"},          {1, "SQLITE_ERROR"},       {2, "SQLITE_INTERNAL"},  {3, "SQLITE_PERM"},
        {4, "SQLITE_ABORT"},       {5, "SQLITE_BUSY"},        {6, "SQLITE_LOCKED"},    {7, "SQLITE_NOMEM"},
        {8, "SQLITE_READONLY"},    {9, "SQLITE_INTERRUPT"},   {10, "SQLITE_IOERR"},    {11, "SQLITE_CORRUPT"},
        {12, "SQLITE_NOTFOUND"},   {13, "SQLITE_FULL"},       {14, "SQLITE_CANTOPEN"}, {15, "SQLITE_PROTOCOL"},
        {16, "SQLITE_EMPTY"},      {17, "SQLITE_SCHEMA"},     {18, "SQLITE_TOOBIG"},   {19, "SQLITE_CONSTRAINT"},
        {20, "SQLITE_MISMATCH"},   {21, "SQLITE_MISUSE"},     {22, "SQLITE_NOLFS"},    {23, "SQLITE_AUTH"},
        {24, "SQLITE_FORMAT"},     {25, "SQLITE_RANGE"},      {100, "SQLITE_ROW"},     {101, "SQLITE_DONE"},
        {1000, "SQLWRAPPER_ERROR"}, {26, "UNKNOWN_ERROR"},    {27, "UNKNOWN_ERROR"},   {99, "UNKNOWN_ERROR"},
        {102, "UNKNOWN_ERROR"},    {999, "UNKNOWN_ERROR"},    {1001, "UNKNOWN_ERROR"}, {-1, "UNKNOWN_ERROR"},
        {SQLITE_CONSTRAINT_PRIMARYKEY, "UNKNOWN_ERROR"},
    };
    for (const auto& [code, name] : names)
        EXPECT_STREQ(SqlException::ErrorCodeAsString(code), name) << code;
}

TEST(SqlExceptionTest, MessageAndCopies)
{
    const std::vector<std::tuple<int, const char*, const char*>> cases = {
        {1000, "Database not open", "SQLWRAPPER_ERROR[1000]: Database not open"},
        {26, "odd", "UNKNOWN_ERROR[26]: odd"},
        {5, "database is locked", "SQLITE_BUSY[5]: database is locked"},
        {1, nullptr, "SQLITE_ERROR[1]: "},
        {-3, "100% %s", "UNKNOWN_ERROR[-3]: 100% %s"},  // the text is not a format
    };
    for (const auto& [code, text, message] : cases) {
        auto original = std::make_unique<SqlException>(code, text);
        EXPECT_EQ(original->ErrorCode(), code);
        EXPECT_STREQ(original->ErrorMessage(), message);
        EXPECT_STREQ(original->what(), message);

        SqlException copy(*original);
        SqlException assigned(0, "earlier");
        assigned = *original;
        original.reset();  // the copies own their messages
        EXPECT_EQ(copy.ErrorCode(), code);
        EXPECT_STREQ(copy.ErrorMessage(), message);
        EXPECT_EQ(assigned.ErrorCode(), code);
        EXPECT_STREQ(assigned.ErrorMessage(), message);
        assigned = assigned;
        EXPECT_STREQ(assigned.ErrorMessage(), message);
    }
}

TEST(SqlBufferTest, FormatsThroughSqlite)
{
    SqlBuffer buffer;
    EXPECT_EQ(buffer.Text(), nullptr);
    EXPECT_STREQ(buffer.Format("INSERT INTO t values ('%d,%d,%d', %Q);", -1, 0, 12, "it's"),
                 "INSERT INTO t values ('-1,0,12', 'it''s');");
    // A new text replaces the earlier one (which is freed).
    EXPECT_STREQ(buffer.Format("%Q|%q", static_cast<const char*>(nullptr), "a'b"), "NULL|a''b");
    EXPECT_STREQ(static_cast<const char*>(buffer), "NULL|a''b");
    buffer.Clear();
    EXPECT_EQ(buffer.Text(), nullptr);
}

class SqlDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_file = m_dir.File("world.db");
        m_db.Open(m_file.c_str());
    }

    TavTest::TempDir m_dir;
    std::string m_file;
    SqlDatabase m_db;
};

TEST_F(SqlDatabaseTest, CreatesFileAndRunsStatementsAndQueries)
{
    EXPECT_TRUE(m_db.IsOpen());
    EXPECT_EQ(m_db.BusyTimeout(), 60000);
    EXPECT_EQ(m_db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);"), 0);
    EXPECT_TRUE(std::filesystem::exists(m_file));

    EXPECT_EQ(m_db.ExecDml("INSERT OR REPLACE INTO mapdata values ('1,2,3', 'abc');"), 1);
    EXPECT_EQ(m_db.ExecDml("INSERT OR REPLACE INTO mapdata values ('4,5,6', NULL);"), 1);
    EXPECT_EQ(m_db.ExecDml("update mapdata set data = 'zz';"), 2);

    {
        SqlQuery none = m_db.ExecQuery("select data from mapdata where location = '9,9,9';");
        EXPECT_TRUE(none.Eof());
        EXPECT_EQ(none.FieldValue(0), nullptr);
    }
    {
        SqlQuery rows = m_db.ExecQuery("select location, data from mapdata order by location;");
        ASSERT_FALSE(rows.Eof());
        EXPECT_EQ(rows.NumFields(), 2);
        EXPECT_EQ(rows.FieldIndex("data"), 1);
        EXPECT_STREQ(rows.FieldValue("location"), "1,2,3");
        EXPECT_EQ(rows.FieldLength(1), 2);
        EXPECT_EQ(rows.FieldValue(2), nullptr);   // out of range
        EXPECT_EQ(rows.FieldValue(-1), nullptr);
        rows.NextRow();
        ASSERT_FALSE(rows.Eof());
        EXPECT_STREQ(rows.FieldValue(0), "4,5,6");
        rows.NextRow();
        EXPECT_TRUE(rows.Eof());
        rows.Finalize();
        rows.Finalize();  // nothing left to finalise
    }

    // A later connection finds what the first one committed.
    m_db.Close();
    EXPECT_FALSE(m_db.IsOpen());
    m_db.Close();
    SqlDatabase later;
    later.Open(m_file.c_str());
    SqlQuery query = later.ExecQuery("select data from mapdata where location = '1,2,3';");
    ASSERT_FALSE(query.Eof());
    EXPECT_STREQ(query.FieldValue(query.FieldIndex("data")), "zz");
}

TEST_F(SqlDatabaseTest, FieldIndexErrors)
{
    m_db.ExecDml("create table t(data blob);");
    SqlQuery query = m_db.ExecQuery("select data from t;");
    for (const char* name : {"Data", "data ", "dat", "", "location"}) {
        const SqlException e = Raised([&] { query.FieldIndex(name); });
        EXPECT_EQ(e.ErrorCode(), 1000);
        EXPECT_STREQ(e.ErrorMessage(), "SQLWRAPPER_ERROR[1000]: Invalid field name requested") << name;
    }
    EXPECT_EQ(query.FieldIndex("data"), 0);  // found even on a query without a row

    query.Finalize();
    SqlQuery empty;
    for (SqlQuery* q : {&query, &empty}) {
        const SqlException e = Raised([&] { q->FieldIndex("data"); });
        EXPECT_STREQ(e.ErrorMessage(), "SQLWRAPPER_ERROR[1000]: Null Virtual Machine pointer");
    }
}

TEST_F(SqlDatabaseTest, ClosedDatabaseRefusesEveryCall)
{
    m_db.Close();
    SqlDatabase neverOpened;
    for (SqlDatabase* db : {&m_db, &neverOpened}) {
        const std::vector<std::function<void()>> calls = {
            [&] { db->ExecDml("create table t(a);"); },
            [&] { db->ExecQuery("select 1;"); },
            [&] { sqlite3_finalize(db->Compile("select 1;")); },
        };
        for (const auto& call : calls) {
            const SqlException e = Raised(call);
            EXPECT_EQ(e.ErrorCode(), 1000);
            EXPECT_STREQ(e.ErrorMessage(), "SQLWRAPPER_ERROR[1000]: Database not open");
        }
    }
}

TEST_F(SqlDatabaseTest, FailingStatementsCarrySqliteCodeAndMessage)
{
    m_db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    const std::vector<std::tuple<std::function<void()>, int, std::string>> cases = {
        {[&] { m_db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);"); }, 1,
         "SQLITE_ERROR[1]: table mapdata already exists"},
        {[&] { m_db.ExecDml("INSERT INTO mapdata values ('a', 1), ('a', 2);"); }, 19,
         "SQLITE_CONSTRAINT[19]: UNIQUE constraint failed: mapdata.location"},
        {[&] { m_db.ExecQuery("selec data from mapdata;"); }, 1, "SQLITE_ERROR[1]: near \"selec\": syntax error"},
        {[&] { sqlite3_finalize(m_db.Compile("select nope from mapdata;")); }, 1,
         "SQLITE_ERROR[1]: no such column: nope"},
        // Compiles, then fails on its first step.
        {[&] { m_db.ExecQuery("select abs(-9223372036854775807 - 1);"); }, 1, "SQLITE_ERROR[1]: integer overflow"},
    };
    for (const auto& [call, code, message] : cases) {
        const SqlException e = Raised(call);
        EXPECT_EQ(e.ErrorCode(), code);
        EXPECT_EQ(std::string(e.ErrorMessage()), message);
    }
    // The connection stays usable, and the failed insert left nothing.
    SqlQuery query = m_db.ExecQuery("select count(*) from mapdata;");
    EXPECT_STREQ(query.FieldValue(0), "0");
}

TEST_F(SqlDatabaseTest, OpenFailureAndCloseWithLiveStatement)
{
    SqlDatabase db;
    const std::string missing = m_dir.File("no/such/folder/world.db");
    const SqlException e = Raised([&] { db.Open(missing.c_str()); });
    EXPECT_EQ(e.ErrorCode(), 14);
    EXPECT_STREQ(e.ErrorMessage(), "SQLITE_CANTOPEN[14]: unable to open database file");
    EXPECT_FALSE(db.IsOpen());

    // A statement still alive keeps the connection from closing.
    m_db.ExecDml("create table t(a); insert into t values (1);");
    {
        SqlQuery query = m_db.ExecQuery("select a from t;");
        const SqlException busy = Raised([&] { m_db.Close(); });
        EXPECT_STREQ(busy.ErrorMessage(), "SQLWRAPPER_ERROR[1000]: Unable to close database");
        EXPECT_TRUE(m_db.IsOpen());
        EXPECT_STREQ(query.FieldValue(0), "1");
    }
    m_db.Close();
    EXPECT_FALSE(m_db.IsOpen());
}

TEST_F(SqlDatabaseTest, QueriesMoveWithoutDoubleFinalising)
{
    m_db.ExecDml("create table t(a); insert into t values (7);");
    SqlQuery moved = m_db.ExecQuery("select a from t;");
    SqlQuery target = std::move(moved);
    EXPECT_TRUE(moved.Eof());
    EXPECT_STREQ(target.FieldValue(0), "7");
    target = m_db.ExecQuery("select a + 1 from t;");  // finalises the first
    EXPECT_STREQ(target.FieldValue(0), "8");
    target = SqlQuery();
    m_db.Close();  // succeeds only if no statement is left alive
    EXPECT_FALSE(m_db.IsOpen());
}

}  // namespace
