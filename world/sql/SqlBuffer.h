#pragma once

namespace Tav {

// One text made by SQLite's formatting (so %q, %Q and %w are available),
// freed with SQLite's free.
class SqlBuffer {
public:
    SqlBuffer() = default;
    ~SqlBuffer();
    SqlBuffer(const SqlBuffer&) = delete;
    SqlBuffer& operator=(const SqlBuffer&) = delete;
    // Moving hands the text over; the source is left empty.
    SqlBuffer(SqlBuffer&& other) noexcept;
    SqlBuffer& operator=(SqlBuffer&& other) noexcept;

    // Frees any earlier text, formats a new one and returns it;
    // "Cannot allocate memory" when SQLite cannot allocate it.
    const char* Format(const char* format, ...);
    void Clear();

    const char* Text() const { return m_text; }
    operator const char*() const { return m_text; }

private:
    char* m_text = nullptr;
};

}  // namespace Tav
