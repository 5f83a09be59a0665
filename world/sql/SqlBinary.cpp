#include "world/sql/SqlBinary.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "world/sql/SqlException.h"

namespace Tav {

namespace {

constexpr unsigned char kEscape = 1;
constexpr unsigned char kQuote = 39;

// Largest input whose encoding buffer size, n + (3 * n) / 254 + 3, still
// fits in an int.
constexpr std::int64_t kMaxEncodable = (static_cast<std::int64_t>(INT_MAX) - 3) * 254 / 257;

}  // namespace

std::size_t SqlEncodedBufferSize(std::size_t n)
{
    // (257 * n) / 254 == n + (3 * n) / 254, written so that it cannot overflow.
    return n + (n / 254) * 3 + ((n % 254) * 3) / 254 + 3;
}

int SqlEncodeBinary(const unsigned char* in, int n, unsigned char* out)
{
    if (n <= 0) {
        out[0] = 'x';
        out[1] = 0;
        return 1;
    }
    if (n > kMaxEncodable)
        return -1;

    std::int64_t count[256] = {};
    for (int i = 0; i < n; ++i)
        ++count[in[i]];

    // The offset e makes the fewest input bytes land on 0, 1 or the quote
    // (which must be escaped). The 254 candidate sums count each input byte
    // at most three times, so the best is at most (3 * n) / 254: the output
    // fits in SqlEncodedBufferSize(n).
    std::int64_t best = n;
    int e = 1;
    for (int i = 1; i < 256; ++i) {
        if (i == kQuote)
            continue;
        const std::int64_t sum = count[i] + count[(i + 1) & 0xFF] + count[(i + kQuote) & 0xFF];
        if (sum < best) {
            best = sum;
            e = i;
            if (sum == 0)
                break;
        }
    }

    unsigned char* p = out;
    *p++ = static_cast<unsigned char>(e);
    for (int i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(in[i] - e);
        if (c == 0) {
            *p++ = kEscape;
            *p++ = 1;
        } else if (c == 1) {
            *p++ = kEscape;
            *p++ = 2;
        } else if (c == kQuote) {
            *p++ = kEscape;
            *p++ = 3;
        } else {
            *p++ = c;
        }
    }
    *p = 0;
    return static_cast<int>(p - out);
}

int SqlDecodeBinary(const unsigned char* in, std::size_t length, unsigned char* out)
{
    if (length == 0 || in[0] == 0)
        return 0;
    // Every output byte takes at least one input byte after the offset, so a
    // text of this length never yields more than an int can count.
    if (length - 1 > static_cast<std::size_t>(INT_MAX))
        return -1;

    const unsigned char e = in[0];
    std::size_t i = 1;
    int written = 0;
    while (i < length && in[i] != 0) {
        unsigned char c = in[i++];
        if (c == kEscape) {
            if (i >= length)
                return -1;
            const unsigned char code = in[i++];
            if (code == 1)
                c = 0;
            else if (code == 2)
                c = 1;
            else if (code == 3)
                c = kQuote;
            else
                return -1;  // also a NUL right after the escape
        }
        out[written++] = static_cast<unsigned char>(c + e);
    }
    return written;
}

int SqlDecodeBinary(const unsigned char* in, unsigned char* out)
{
    return SqlDecodeBinary(in, std::strlen(reinterpret_cast<const char*>(in)) + 1, out);
}

// ------------------------------------------------------------------ SqlBinary

SqlBinary::~SqlBinary()
{
    Clear();
}

void SqlBinary::Clear()
{
    std::free(m_buffer);
    m_buffer = nullptr;
    m_binaryLength = 0;
    m_bufferLength = 0;
    m_encodedLength = 0;
    m_encoded = false;
}

void SqlBinary::SetEncoded(const unsigned char* text)
{
    SetEncoded(text, std::strlen(reinterpret_cast<const char*>(text)));
}

void SqlBinary::SetEncoded(const unsigned char* text, std::size_t length)
{
    Clear();
    // Only the part before a NUL is text.
    const void* nul = length ? std::memchr(text, 0, length) : nullptr;
    if (nul)
        length = static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - text);
    if (length >= static_cast<std::size_t>(INT_MAX))
        throw SqlException(kSqlWrapperError, "Cannot allocate memory");

    m_buffer = static_cast<unsigned char*>(std::malloc(length + 1));
    if (!m_buffer)
        throw SqlException(kSqlWrapperError, "Cannot allocate memory");
    if (length)
        std::memcpy(m_buffer, text, length);
    m_buffer[length] = 0;
    m_bufferLength = static_cast<int>(length + 1);
    m_encodedLength = static_cast<int>(length);
    m_encoded = true;
}

const unsigned char* SqlBinary::GetBinary()
{
    if (m_encoded) {
        const int n = m_buffer ? SqlDecodeBinary(m_buffer, static_cast<std::size_t>(m_encodedLength) + 1, m_buffer) : 0;
        if (n < 0)
            throw SqlException(kSqlWrapperError, "Cannot decode binary");
        m_binaryLength = n;
        m_encoded = false;
    }
    return m_buffer;
}

unsigned char* SqlBinary::AllocBuffer(int n)
{
    Clear();
    if (n < 0 || n > kMaxEncodable)
        throw SqlException(kSqlWrapperError, "Cannot allocate memory");
    const std::size_t size = SqlEncodedBufferSize(static_cast<std::size_t>(n));
    m_buffer = static_cast<unsigned char*>(std::malloc(size));
    if (!m_buffer)
        throw SqlException(kSqlWrapperError, "Cannot allocate memory");
    m_binaryLength = n;
    m_bufferLength = static_cast<int>(size);
    return m_buffer;
}

const unsigned char* SqlBinary::GetEncoded()
{
    if (!m_encoded) {
        const std::size_t n = static_cast<std::size_t>(m_binaryLength);
        unsigned char* copy = static_cast<unsigned char*>(std::malloc(n ? n : 1));
        if (!copy)
            throw SqlException(kSqlWrapperError, "Cannot allocate memory");
        if (n)
            std::memcpy(copy, m_buffer, n);

        // Raw bytes that came from decoding sit in a buffer sized for their
        // text, which may be smaller than a fresh encoding needs.
        const std::size_t needed = SqlEncodedBufferSize(n);
        if (static_cast<std::size_t>(m_bufferLength) < needed) {
            unsigned char* bigger = static_cast<unsigned char*>(std::malloc(needed));
            if (!bigger) {
                std::free(copy);
                throw SqlException(kSqlWrapperError, "Cannot allocate memory");
            }
            std::free(m_buffer);
            m_buffer = bigger;
            m_bufferLength = static_cast<int>(needed);
        }
        m_encodedLength = SqlEncodeBinary(copy, m_binaryLength, m_buffer);
        std::free(copy);
        m_encoded = true;
    }
    return m_buffer;
}

}  // namespace Tav
