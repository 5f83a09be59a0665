#include "world/sql/SqlBuffer.h"

#include <cstdarg>

#include <sqlite3.h>

#include "world/sql/SqlException.h"

namespace Tav {

SqlBuffer::~SqlBuffer()
{
    Clear();
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
