#pragma once
// A stream of bits. Items are written one after another at the current bit
// position with no alignment; every multi-byte integer and every float or
// double travels in network byte order (most significant byte first). A read
// that would go past the end of the written data fails: it returns false and
// leaves its target unchanged.
#include <cstddef>
#include <cstdint>

namespace Net {

using BitSize = uint32_t;

class BitStream {
public:
    BitStream();
    // A stream that reads the given bytes. With copy false the stream reads
    // the caller's memory in place (the caller keeps it alive and must not
    // write to the stream); with copy true it takes a copy.
    BitStream(const unsigned char* data, size_t lengthInBytes, bool copy);
    BitStream(const BitStream& other);
    BitStream& operator=(const BitStream& other);
    // Takes over the other stream's buffer; the other stream is left empty.
    BitStream(BitStream&& other) noexcept;
    BitStream& operator=(BitStream&& other) noexcept;
    ~BitStream();

    // Empties the stream: nothing written, read position 0.
    void Reset();

    // --- writing ---
    void Write(uint8_t v);
    void Write(int8_t v);
    void Write(uint16_t v);
    void Write(int16_t v);
    void Write(uint32_t v);
    void Write(int32_t v);
    void Write(uint64_t v);
    void Write(int64_t v);
    void Write(float v);
    void Write(double v);
    void Write1();
    void Write0();
    void WriteBit(bool bit);
    // Raw bytes at the current bit position.
    void WriteBytes(const void* data, size_t byteCount);
    // The first bitCount bits of data, most significant bit of each byte first.
    void WriteBits(const unsigned char* data, BitSize bitCount);
    // Appends the whole written content of another stream.
    void WriteStream(const BitStream& other);

    // --- reading ---
    bool Read(uint8_t& v);
    bool Read(int8_t& v);
    bool Read(uint16_t& v);
    bool Read(int16_t& v);
    bool Read(uint32_t& v);
    bool Read(int32_t& v);
    bool Read(uint64_t& v);
    bool Read(int64_t& v);
    bool Read(float& v);
    bool Read(double& v);
    bool ReadBit(bool& bit);
    bool ReadBytes(void* out, size_t byteCount);
    bool ReadBits(unsigned char* out, BitSize bitCount);
    // Skips bits; fails (and skips nothing) past the end.
    bool IgnoreBits(BitSize bitCount);
    bool IgnoreBytes(size_t byteCount);

    // --- positions and sizes ---
    BitSize GetNumberOfBitsUsed() const { return writeOffset_; }
    // Written bits rounded up to whole bytes.
    size_t GetNumberOfBytesUsed() const { return (writeOffset_ + 7) >> 3; }
    BitSize GetReadOffset() const { return readOffset_; }
    void SetReadOffset(BitSize offset) { readOffset_ = offset <= writeOffset_ ? offset : writeOffset_; }
    void ResetReadPointer() { readOffset_ = 0; }
    BitSize GetNumberOfUnreadBits() const { return writeOffset_ - readOffset_; }
    const unsigned char* GetData() const { return data_; }

    // Bit-level equality of the written content.
    bool ContentEquals(const BitStream& other) const;

private:
    void Reserve(BitSize extraBits);
    void WriteAligned(const unsigned char* bytes, size_t count);
    bool ReadAligned(unsigned char* bytes, size_t count);

    static constexpr size_t kStackBytes = 256;
    unsigned char* data_;
    BitSize writeOffset_ = 0;
    BitSize readOffset_ = 0;
    size_t capacityBytes_;
    bool ownsHeap_ = false;    // data_ is a heap block of ours
    bool readOnly_ = false;    // data_ is the caller's memory
    alignas(8) unsigned char stack_[kStackBytes];
};

}  // namespace Net
