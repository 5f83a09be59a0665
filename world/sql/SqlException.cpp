#include "world/sql/SqlException.h"

#include <sqlite3.h>

namespace Tav {

namespace {

char* CopyMessage(const char* message)
{
    return message ? sqlite3_mprintf("%s", message) : nullptr;
}

}  // namespace

SqlException::SqlException(int errorCode, const char* errorText)
    : m_errorCode(errorCode),
      m_message(sqlite3_mprintf("%s[%d]: %s", ErrorCodeAsString(errorCode), errorCode,
                                errorText ? errorText : ""))
{
}

SqlException::SqlException(const SqlException& other)
    : std::exception(other), m_errorCode(other.m_errorCode), m_message(CopyMessage(other.m_message))
{
}

SqlException& SqlException::operator=(const SqlException& other)
{
    if (this != &other) {
        char* copy = CopyMessage(other.m_message);
        sqlite3_free(m_message);
        m_message = copy;
        m_errorCode = other.m_errorCode;
    }
    return *this;
}

SqlException::~SqlException()
{
    sqlite3_free(m_message);
}

const char* SqlException::ErrorCodeAsString(int errorCode)
{
    switch (errorCode) {
    case 0: return "SQLITE_OK";
    case 1: return "SQLITE_ERROR";
    case 2: return "SQLITE_INTERNAL";
    case 3: return "SQLITE_PERM";
    case 4: return "SQLITE_ABORT";
    case 5: return "SQLITE_BUSY";
    case 6: return "SQLITE_LOCKED";
    case 7: return "SQLITE_NOMEM";
    case 8: return "SQLITE_READONLY";
    case 9: return "SQLITE_INTERRUPT";
    case 10: return "SQLITE_IOERR";
    case 11: return "SQLITE_CORRUPT";
    case 12: return "SQLITE_NOTFOUND";
    case 13: return "SQLITE_FULL";
    case 14: return "SQLITE_CANTOPEN";
    case 15: return "SQLITE_PROTOCOL";
    case 16: return "SQLITE_EMPTY";
    case 17: return "SQLITE_SCHEMA";
    case 18: return "SQLITE_TOOBIG";
    case 19: return "SQLITE_CONSTRAINT";
    case 20: return "SQLITE_MISMATCH";
    case 21: return "SQLITE_MISUSE";
    case 22: return "SQLITE_NOLFS";
    case 23: return "SQLITE_AUTH";
    case 24: return "SQLITE_FORMAT";
    case 25: return "SQLITE_RANGE";
    case 100: return "SQLITE_ROW";
    case 101: return "SQLITE_DONE";
    case kSqlWrapperError: return "SQLWRAPPER_ERROR";
    default: return "UNKNOWN_ERROR";
    }
}

}  // namespace Tav
