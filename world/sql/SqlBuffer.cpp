#include "world/sql/SqlBuffer.h"

#include <cstdarg>

#include <sqlite3.h>

#include "world/sql/SqlException.h"

namespace Tav {

SqlBuffer::~SqlBuffer()
{
    Clear();
}

SqlBuffer::SqlBuffer(SqlBuffer&& other) noexcept : m_text(other.m_text)
{
    other.m_text = nullptr;
}

SqlBuffer& SqlBuffer::operator=(SqlBuffer&& other) noexcept
{
    if (this != &other) {
        Clear();
        m_text = other.m_text;
        other.m_text = nullptr;
    }
    return *this;
}

const char* SqlBuffer::Format(const char* format, ...)
{
    Clear();
    va_list args;
    va_start(args, format);
    m_text = sqlite3_vmprintf(format, args);
    va_end(args);
    if (!m_text)
        throw SqlException(kSqlWrapperError, "Cannot allocate memory");
    return m_text;
}

void SqlBuffer::Clear()
{
    sqlite3_free(m_text);
    m_text = nullptr;
}

}  // namespace Tav
