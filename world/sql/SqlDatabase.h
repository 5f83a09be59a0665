#pragma once

#include "world/sql/SqlBinary.h"
#include "world/sql/SqlBuffer.h"
#include "world/sql/SqlException.h"

struct sqlite3;
struct sqlite3_stmt;

namespace Tav {

class SqlQuery;

// One SQLite connection. Every failing call raises SqlException.
//
// The connection is opened in SQLite's serialised threading mode, so several
// threads may share it; each call of this class is complete in itself, and
// error texts are read under the connection's own mutex so that a message
// always belongs to the call that failed.
class SqlDatabase {
public:
    SqlDatabase();
    virtual ~SqlDatabase();  // closes the connection; errors are swallowed

    SqlDatabase(const SqlDatabase&) = delete;
    SqlDatabase& operator=(const SqlDatabase&) = delete;

    // Opens (creating if missing) the database file for reading and writing
    // and sets the busy time-out. An open connection is closed first.
    void Open(const char* fileName = "world.db");
    // Closes the connection when open; "Unable to close database" on failure
    // (the connection then stays open).
    void Close();
    bool IsOpen() const { return m_db != nullptr; }
    // True while a transaction begun on this connection is open (SQLite ends
    // one by itself after some errors, such as a full disk or an I/O error).
    bool InTransaction() const;
    // True when SQLite opened the file read-only (it does so silently when
    // the file may not be written).
    bool IsReadOnly() const;
    // SQLite's extended result code of the connection's last failed call
    // (0 when closed); meaningful only while no other thread uses it.
    int ExtendedErrorCode() const;

    // Runs a statement (or several) and returns the number of rows changed
    // by the last one.
    int ExecDml(const char* sql);
    // Compiles a statement and takes its first step: the query is positioned
    // on the first row, or at its end when there is none.
    SqlQuery ExecQuery(const char* sql);
    // Compiles one statement; the caller owns the result (null for a text
    // without a statement).
    sqlite3_stmt* Compile(const char* sql);

    void SetBusyTimeout(int milliseconds);
    int BusyTimeout() const { return m_busyTimeoutMs; }

private:
    void CheckOpen() const;

    sqlite3* m_db;
    int m_busyTimeoutMs;
};

// The result of SqlDatabase::ExecQuery: a compiled statement positioned on a
// row, or at the end (Eof). Destroying it finalises the statement.
class SqlQuery {
public:
    SqlQuery();
    SqlQuery(sqlite3* db, sqlite3_stmt* statement, bool eof, bool ownsStatement = true);
    SqlQuery(SqlQuery&& other) noexcept;
    SqlQuery& operator=(SqlQuery&& other);
    SqlQuery(const SqlQuery&) = delete;
    SqlQuery& operator=(const SqlQuery&) = delete;
    virtual ~SqlQuery();  // finalises; errors are swallowed

    bool Eof() const { return m_eof; }
    int NumFields() const { return m_columns; }

    // Index of the first result column whose name equals name byte for byte.
    // "Null Virtual Machine pointer" without a statement, "Invalid field name
    // requested" when no column matches.
    int FieldIndex(const char* name) const;

    // The current row's column as text (null for SQL NULL, for an index out
    // of range, on a query without a row) and its length in bytes.
    const char* FieldValue(int field) const;
    const char* FieldValue(const char* name) const;
    int FieldLength(int field) const;
    bool FieldIsNull(int field) const;

    // Steps to the next row; at the end Eof becomes true.
    void NextRow();

    // Finalises the statement when the query owns it; a non-zero result is
    // raised with the connection's error message.
    void Finalize();

private:
    bool HasRowColumn(int field) const;
    void Release() noexcept;

    sqlite3* m_db;
    sqlite3_stmt* m_statement;
    bool m_eof;
    int m_columns;
    bool m_ownsStatement;
};

}  // namespace Tav
