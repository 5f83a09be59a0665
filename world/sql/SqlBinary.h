#pragma once

#include <cstddef>

namespace Tav {

// Size of the output buffer that SqlEncodeBinary needs for n raw bytes, the
// terminating NUL included: (257 * n) / 254 + 3. For n <= 0 it is 3.
std::size_t SqlEncodedBufferSize(std::size_t n);

// Encodes n raw bytes into text that holds neither NUL nor a single quote,
// so that it can sit inside an SQL string literal. out must hold at least
// SqlEncodedBufferSize(n) bytes. Returns the length of the text written, not
// counting the terminating NUL that follows it. Empty input gives "x"; an
// input whose buffer size would not fit in an int (n above 2.1e9) gives -1.
int SqlEncodeBinary(const unsigned char* in, int n, unsigned char* out);

// Decodes an encoded text up to its terminating NUL into out, which may be
// in itself (the output never overtakes the input). Returns the number of
// bytes written, or -1 for a bad escape.
int SqlDecodeBinary(const unsigned char* in, unsigned char* out);

// The same for a text of the given length: it reads at most length bytes of
// in (a NUL before them ends the text) and writes at most length - 1 bytes.
int SqlDecodeBinary(const unsigned char* in, std::size_t length, unsigned char* out);

// A heap buffer that holds either raw bytes or their encoded text and
// converts between them in place.
class SqlBinary {
public:
    SqlBinary() = default;
    ~SqlBinary();
    SqlBinary(const SqlBinary&) = delete;
    SqlBinary& operator=(const SqlBinary&) = delete;

    // Takes a copy of an encoded text (up to its NUL, or length bytes).
    void SetEncoded(const unsigned char* text);
    void SetEncoded(const unsigned char* text, std::size_t length);
    // The encoded text, encoding the raw bytes first if needed.
    const unsigned char* GetEncoded();
    // The raw bytes, decoding the text first if needed; "Cannot decode
    // binary" for a bad escape. BinaryLength gives their number.
    const unsigned char* GetBinary();
    // A buffer for n raw bytes that the caller fills.
    unsigned char* AllocBuffer(int n);
    void Clear();

    int BinaryLength() const { return m_binaryLength; }
    int EncodedLength() const { return m_encodedLength; }
    int BufferLength() const { return m_bufferLength; }
    bool IsEncoded() const { return m_encoded; }

private:
    unsigned char* m_buffer = nullptr;
    int m_binaryLength = 0;
    int m_bufferLength = 0;
    int m_encodedLength = 0;
    bool m_encoded = false;
};

}  // namespace Tav
