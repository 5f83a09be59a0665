#include "world/sql/SqlDatabase.h"

#include <cstring>
#include <utility>

#include <sqlite3.h>

namespace Tav {

namespace {

// Holds a connection's mutex (recursive in serialised mode, null otherwise)
// so that the error message read after a failed call is that call's own.
class ConnectionLock {
public:
    explicit ConnectionLock(sqlite3* db) : m_mutex(db ? sqlite3_db_mutex(db) : nullptr)
    {
        sqlite3_mutex_enter(m_mutex);
    }
    ~ConnectionLock() { sqlite3_mutex_leave(m_mutex); }
    ConnectionLock(const ConnectionLock&) = delete;
    ConnectionLock& operator=(const ConnectionLock&) = delete;

private:
    sqlite3_mutex* m_mutex;
};

}  // namespace

// ---------------------------------------------------------------- SqlDatabase

SqlDatabase::SqlDatabase() : m_db(nullptr), m_busyTimeoutMs(60000) {}

SqlDatabase::~SqlDatabase()
{
    try {
        Close();
    } catch (...) {
    }
}

void SqlDatabase::Open(const char* fileName)
{
    if (m_db)
        Close();

    sqlite3* db = nullptr;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    const int rc = sqlite3_open_v2(fileName, &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        SqlException error(rc, sqlite3_errmsg(db));  // errmsg(null) is "out of memory"
        sqlite3_close(db);
        throw error;
    }
    m_db = db;
    SetBusyTimeout(m_busyTimeoutMs);
}

void SqlDatabase::Close()
{
    if (!m_db)
        return;
    if (sqlite3_close(m_db) != SQLITE_OK)
        throw SqlException(kSqlWrapperError, "Unable to close database");
    m_db = nullptr;
}

bool SqlDatabase::InTransaction() const
{
    return m_db != nullptr && sqlite3_get_autocommit(m_db) == 0;
}

bool SqlDatabase::IsReadOnly() const
{
    return m_db != nullptr && sqlite3_db_readonly(m_db, "main") == 1;
}

int SqlDatabase::ExtendedErrorCode() const
{
    return m_db ? sqlite3_extended_errcode(m_db) : 0;
}

void SqlDatabase::SetBusyTimeout(int milliseconds)
{
    m_busyTimeoutMs = milliseconds;
    if (m_db)
        sqlite3_busy_timeout(m_db, m_busyTimeoutMs);
}

void SqlDatabase::CheckOpen() const
{
    if (!m_db)
        throw SqlException(kSqlWrapperError, "Database not open");
}

int SqlDatabase::ExecDml(const char* sql)
{
    CheckOpen();
    ConnectionLock lock(m_db);
    char* errorText = nullptr;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &errorText);
    if (rc != SQLITE_OK) {
        SqlException error(rc, errorText);
        sqlite3_free(errorText);
        throw error;
    }
    return sqlite3_changes(m_db);
}

sqlite3_stmt* SqlDatabase::Compile(const char* sql)
{
    CheckOpen();
    ConnectionLock lock(m_db);
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr);
    if (rc != SQLITE_OK)
        throw SqlException(rc, sqlite3_errmsg(m_db));
    return statement;
}

SqlQuery SqlDatabase::ExecQuery(const char* sql)
{
    CheckOpen();
    ConnectionLock lock(m_db);
    sqlite3_stmt* statement = Compile(sql);
    if (!statement)  // only white space or comments: no rows
        return SqlQuery(m_db, nullptr, true);

    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE)
        return SqlQuery(m_db, statement, true);
    if (rc == SQLITE_ROW)
        return SqlQuery(m_db, statement, false);

    const int finalRc = sqlite3_finalize(statement);
    throw SqlException(finalRc, sqlite3_errmsg(m_db));
}

// ------------------------------------------------------------------- SqlQuery

SqlQuery::SqlQuery() : m_db(nullptr), m_statement(nullptr), m_eof(true), m_columns(0), m_ownsStatement(false)
{
}

SqlQuery::SqlQuery(sqlite3* db, sqlite3_stmt* statement, bool eof, bool ownsStatement)
    : m_db(db),
      m_statement(statement),
      m_eof(eof),
      m_columns(statement ? sqlite3_column_count(statement) : 0),
      m_ownsStatement(ownsStatement)
{
}

SqlQuery::SqlQuery(SqlQuery&& other) noexcept
    : m_db(other.m_db),
      m_statement(std::exchange(other.m_statement, nullptr)),
      m_eof(std::exchange(other.m_eof, true)),
      m_columns(std::exchange(other.m_columns, 0)),
      m_ownsStatement(std::exchange(other.m_ownsStatement, false))
{
}

SqlQuery& SqlQuery::operator=(SqlQuery&& other)
{
    if (this != &other) {
        Finalize();
        m_db = other.m_db;
        m_statement = std::exchange(other.m_statement, nullptr);
        m_eof = std::exchange(other.m_eof, true);
        m_columns = std::exchange(other.m_columns, 0);
        m_ownsStatement = std::exchange(other.m_ownsStatement, false);
    }
    return *this;
}

SqlQuery::~SqlQuery()
{
    try {
        Finalize();
    } catch (...) {
    }
}

int SqlQuery::FieldIndex(const char* name) const
{
    if (!m_statement)
        throw SqlException(kSqlWrapperError, "Null Virtual Machine pointer");
    if (name) {
        for (int field = 0; field < m_columns; ++field) {
            const char* columnName = sqlite3_column_name(m_statement, field);
            if (columnName && std::strcmp(name, columnName) == 0)
                return field;
        }
    }
    throw SqlException(kSqlWrapperError, "Invalid field name requested");
}

bool SqlQuery::HasRowColumn(int field) const
{
    return m_statement && !m_eof && field >= 0 && field < m_columns;
}

const char* SqlQuery::FieldValue(int field) const
{
    if (!HasRowColumn(field))
        return nullptr;
    return reinterpret_cast<const char*>(sqlite3_column_text(m_statement, field));
}

const char* SqlQuery::FieldValue(const char* name) const
{
    return FieldValue(FieldIndex(name));
}

int SqlQuery::FieldLength(int field) const
{
    if (!HasRowColumn(field))
        return 0;
    // Asked after the text, so the length is that of the text form.
    sqlite3_column_text(m_statement, field);
    return sqlite3_column_bytes(m_statement, field);
}

bool SqlQuery::FieldIsNull(int field) const
{
    return !HasRowColumn(field) || sqlite3_column_type(m_statement, field) == SQLITE_NULL;
}

void SqlQuery::NextRow()
{
    if (!m_statement) {
        m_eof = true;
        return;
    }
    ConnectionLock lock(m_db);
    const int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_DONE) {
        m_eof = true;
    } else if (rc == SQLITE_ROW) {
        m_eof = false;
    } else {
        const int finalRc = m_ownsStatement ? sqlite3_finalize(m_statement) : sqlite3_reset(m_statement);
        m_statement = nullptr;
        m_eof = true;
        throw SqlException(finalRc, sqlite3_errmsg(m_db));
    }
}

void SqlQuery::Finalize()
{
    if (!m_statement || !m_ownsStatement)
        return;
    ConnectionLock lock(m_db);
    const int rc = sqlite3_finalize(m_statement);
    m_statement = nullptr;
    m_eof = true;
    if (rc != SQLITE_OK)
        throw SqlException(rc, sqlite3_errmsg(m_db));
}

}  // namespace Tav
