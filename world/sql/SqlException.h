#pragma once

#include <exception>

namespace Tav {

// The error raised by every failing call of the SQL wrapper. It carries an
// SQLite result code (or kSqlWrapperError for the wrapper's own errors) and
// the message "<code name>[<code>]: <text>", held in memory from SQLite's
// allocator.
class SqlException : public std::exception {
public:
    SqlException(int errorCode, const char* errorText);
    SqlException(const SqlException& other);
    SqlException& operator=(const SqlException& other);
    ~SqlException() override;

    int ErrorCode() const { return m_errorCode; }
    // The formatted message; an empty text only if SQLite could not allocate it.
    const char* ErrorMessage() const { return m_message ? m_message : ""; }
    const char* what() const noexcept override { return ErrorMessage(); }

    // The name of a result code: "SQLITE_OK" ... "SQLITE_DONE",
    // "SQLWRAPPER_ERROR" for 1000 and "UNKNOWN_ERROR" for anything else.
    static const char* ErrorCodeAsString(int errorCode);

private:
    int m_errorCode;
    char* m_message;
};

// Code of the wrapper's own errors.
constexpr int kSqlWrapperError = 1000;

}  // namespace Tav
