#include "net/BitStream.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "net/Allocation.h"

namespace Net {
namespace {

// The most bytes a stream can address with a 32-bit bit count.
constexpr size_t kMaxBytes = std::numeric_limits<BitSize>::max() / 8;

inline unsigned char HighMask(unsigned bits) {  // the top `bits` bits of a byte, 0 < bits < 8
    return static_cast<unsigned char>(0xFFu << (8 - bits));
}

template <typename U>
void ToBigEndian(U v, unsigned char* out) {
    for (size_t i = 0; i < sizeof(U); ++i)
        out[i] = static_cast<unsigned char>(v >> (8 * (sizeof(U) - 1 - i)));
}

template <typename U>
U FromBigEndian(const unsigned char* in) {
    U v = 0;
    for (size_t i = 0; i < sizeof(U); ++i) v = static_cast<U>((v << 8) | in[i]);
    return v;
}

}  // namespace

BitStream::BitStream() : data_(stack_), capacityBytes_(kStackBytes) {}

BitStream::BitStream(const unsigned char* data, size_t lengthInBytes, bool copy)
    : data_(stack_), capacityBytes_(kStackBytes) {
    if (lengthInBytes > kMaxBytes) lengthInBytes = kMaxBytes;
    if (!data) lengthInBytes = 0;
    if (!copy) {
        // Read in place. Writing to such a stream first moves it into a
        // buffer of its own (see Reserve).
        data_ = const_cast<unsigned char*>(data ? data : stack_);
        capacityBytes_ = lengthInBytes;
        readOnly_ = true;
        writeOffset_ = static_cast<BitSize>(lengthInBytes * 8);
        return;
    }
    WriteAligned(data, lengthInBytes);
}

BitStream::BitStream(const BitStream& other) : data_(stack_), capacityBytes_(kStackBytes) {
    WriteBits(other.data_, other.writeOffset_);
    readOffset_ = other.readOffset_;
}

BitStream& BitStream::operator=(const BitStream& other) {
    if (this == &other) return *this;
    Reset();
    WriteBits(other.data_, other.writeOffset_);
    readOffset_ = other.readOffset_;
    return *this;
}

BitStream::BitStream(BitStream&& other) noexcept : data_(stack_), capacityBytes_(kStackBytes) {
    *this = std::move(other);
}

BitStream& BitStream::operator=(BitStream&& other) noexcept {
    if (this == &other) return *this;
    if (ownsHeap_) Free_Ex(data_, __FILE__, __LINE__);
    if (other.ownsHeap_ || other.readOnly_) {
        data_ = other.data_;
        capacityBytes_ = other.capacityBytes_;
    } else {
        std::memcpy(stack_, other.stack_, other.GetNumberOfBytesUsed());
        data_ = stack_;
        capacityBytes_ = kStackBytes;
    }
    ownsHeap_ = other.ownsHeap_;
    readOnly_ = other.readOnly_;
    writeOffset_ = other.writeOffset_;
    readOffset_ = other.readOffset_;
    other.data_ = other.stack_;
    other.capacityBytes_ = kStackBytes;
    other.ownsHeap_ = false;
    other.readOnly_ = false;
    other.writeOffset_ = 0;
    other.readOffset_ = 0;
    return *this;
}

BitStream::~BitStream() {
    if (ownsHeap_) Free_Ex(data_, __FILE__, __LINE__);
}

void BitStream::Reset() {
    writeOffset_ = 0;
    readOffset_ = 0;
    if (readOnly_) {
        data_ = stack_;
        capacityBytes_ = kStackBytes;
        readOnly_ = false;
    }
}

void BitStream::Reserve(BitSize extraBits) {
    const uint64_t neededBits = uint64_t(writeOffset_) + extraBits;
    if (neededBits > std::numeric_limits<BitSize>::max())
        throw std::length_error("Net::BitStream: more than 2^32 - 1 bits");
    const size_t neededBytes = static_cast<size_t>((neededBits + 7) / 8);
    if (!readOnly_ && neededBytes <= capacityBytes_) return;

    size_t newCapacity = capacityBytes_ * 2;
    if (newCapacity < neededBytes) newCapacity = neededBytes;
    if (newCapacity < kStackBytes) newCapacity = kStackBytes;
    if (newCapacity > kMaxBytes + 1) newCapacity = kMaxBytes + 1;

    const size_t usedBytes = GetNumberOfBytesUsed();
    if (readOnly_ && newCapacity <= kStackBytes) {
        std::memmove(stack_, data_, usedBytes);
        data_ = stack_;
        capacityBytes_ = kStackBytes;
        readOnly_ = false;
        return;
    }
    unsigned char* block;
    if (ownsHeap_) {
        block = static_cast<unsigned char*>(Realloc_Ex(data_, newCapacity, __FILE__, __LINE__));
        if (!block) throw std::bad_alloc();
    } else {
        block = static_cast<unsigned char*>(Malloc_Ex(newCapacity, __FILE__, __LINE__));
        if (!block) throw std::bad_alloc();
        if (usedBytes) std::memcpy(block, data_, usedBytes);
    }
    data_ = block;
    capacityBytes_ = newCapacity;
    ownsHeap_ = true;
    readOnly_ = false;
}

// --- writing -----------------------------------------------------------

void BitStream::WriteBits(const unsigned char* src, BitSize bitCount) {
    if (bitCount == 0) return;
    const auto at = reinterpret_cast<uintptr_t>(src);
    const auto base = reinterpret_cast<uintptr_t>(data_);
    if (at >= base && at < base + capacityBytes_) {
        // Appending a part of this very stream: Reserve may move the buffer.
        BitStream copy;
        copy.WriteBits(src, bitCount);
        WriteBits(copy.data_, bitCount);
        return;
    }
    Reserve(bitCount);
    const unsigned shift = writeOffset_ & 7;
    unsigned char* dst = data_ + (writeOffset_ >> 3);
    const size_t full = bitCount >> 3;
    const unsigned rem = bitCount & 7;
    if (shift == 0) {
        std::memcpy(dst, src, full);
        if (rem) dst[full] = src[full] & HighMask(rem);
    } else {
        *dst &= HighMask(shift);  // clear whatever lies past the written bits
        for (size_t i = 0; i < full; ++i) {
            const unsigned char b = src[i];
            dst[i] |= static_cast<unsigned char>(b >> shift);
            dst[i + 1] = static_cast<unsigned char>(b << (8 - shift));
        }
        if (rem) {
            const unsigned char r = src[full] & HighMask(rem);
            dst[full] |= static_cast<unsigned char>(r >> shift);
            if (shift + rem > 8) dst[full + 1] = static_cast<unsigned char>(r << (8 - shift));
        }
    }
    writeOffset_ += bitCount;
}

void BitStream::WriteAligned(const unsigned char* bytes, size_t count) {
    if (count == 0) return;
    if (count > kMaxBytes) throw std::length_error("Net::BitStream: more than 2^32 - 1 bits");
    WriteBits(bytes, static_cast<BitSize>(count * 8));
}

void BitStream::WriteBytes(const void* data, size_t byteCount) {
    WriteAligned(static_cast<const unsigned char*>(data), byteCount);
}

void BitStream::WriteStream(const BitStream& other) { WriteBits(other.data_, other.writeOffset_); }

void BitStream::WriteBit(bool bit) {
    Reserve(1);
    unsigned char& byte = data_[writeOffset_ >> 3];
    const unsigned shift = writeOffset_ & 7;
    if (shift == 0) byte = 0;
    else byte &= HighMask(shift);
    if (bit) byte |= static_cast<unsigned char>(0x80u >> shift);
    ++writeOffset_;
}

void BitStream::Write1() { WriteBit(true); }
void BitStream::Write0() { WriteBit(false); }

void BitStream::Write(uint8_t v) { WriteAligned(&v, 1); }
void BitStream::Write(int8_t v) { Write(static_cast<uint8_t>(v)); }
void BitStream::Write(uint16_t v) {
    unsigned char b[2];
    ToBigEndian(v, b);
    WriteAligned(b, sizeof b);
}
void BitStream::Write(int16_t v) { Write(static_cast<uint16_t>(v)); }
void BitStream::Write(uint32_t v) {
    unsigned char b[4];
    ToBigEndian(v, b);
    WriteAligned(b, sizeof b);
}
void BitStream::Write(int32_t v) { Write(static_cast<uint32_t>(v)); }
void BitStream::Write(uint64_t v) {
    unsigned char b[8];
    ToBigEndian(v, b);
    WriteAligned(b, sizeof b);
}
void BitStream::Write(int64_t v) { Write(static_cast<uint64_t>(v)); }
void BitStream::Write(float v) {
    static_assert(sizeof(float) == 4, "IEEE single precision expected");
    uint32_t u;
    std::memcpy(&u, &v, 4);
    Write(u);
}
void BitStream::Write(double v) {
    static_assert(sizeof(double) == 8, "IEEE double precision expected");
    uint64_t u;
    std::memcpy(&u, &v, 8);
    Write(u);
}

// --- reading -----------------------------------------------------------

bool BitStream::ReadBits(unsigned char* out, BitSize bitCount) {
    if (bitCount > writeOffset_ - readOffset_) return false;
    if (bitCount == 0) return true;
    const unsigned shift = readOffset_ & 7;
    const unsigned char* src = data_ + (readOffset_ >> 3);
    const size_t full = bitCount >> 3;
    const unsigned rem = bitCount & 7;
    if (shift == 0) {
        std::memmove(out, src, full);
        if (rem) out[full] = src[full] & HighMask(rem);
    } else {
        for (size_t i = 0; i < full; ++i)
            out[i] = static_cast<unsigned char>((src[i] << shift) | (src[i + 1] >> (8 - shift)));
        if (rem) {
            unsigned v = static_cast<unsigned>(src[full] << shift);
            if (shift + rem > 8) v |= src[full + 1] >> (8 - shift);
            out[full] = static_cast<unsigned char>(v) & HighMask(rem);
        }
    }
    readOffset_ += bitCount;
    return true;
}

bool BitStream::ReadAligned(unsigned char* bytes, size_t count) {
    if (count > GetNumberOfUnreadBits() / 8) return false;
    return ReadBits(bytes, static_cast<BitSize>(count * 8));
}

bool BitStream::ReadBytes(void* out, size_t byteCount) {
    return ReadAligned(static_cast<unsigned char*>(out), byteCount);
}

bool BitStream::ReadBit(bool& bit) {
    if (readOffset_ >= writeOffset_) return false;
    bit = (data_[readOffset_ >> 3] & (0x80u >> (readOffset_ & 7))) != 0;
    ++readOffset_;
    return true;
}

bool BitStream::IgnoreBits(BitSize bitCount) {
    if (bitCount > writeOffset_ - readOffset_) return false;
    readOffset_ += bitCount;
    return true;
}

bool BitStream::IgnoreBytes(size_t byteCount) {
    if (byteCount > GetNumberOfUnreadBits() / 8) return false;
    readOffset_ += static_cast<BitSize>(byteCount * 8);
    return true;
}

namespace {
template <typename U>
bool ReadBig(BitStream& s, U& v) {
    unsigned char b[sizeof(U)];
    if (!s.ReadBytes(b, sizeof b)) return false;
    v = FromBigEndian<U>(b);
    return true;
}
}  // namespace

bool BitStream::Read(uint8_t& v) { return ReadAligned(&v, 1); }
bool BitStream::Read(int8_t& v) {
    uint8_t u;
    if (!Read(u)) return false;
    v = static_cast<int8_t>(u);
    return true;
}
bool BitStream::Read(uint16_t& v) { return ReadBig(*this, v); }
bool BitStream::Read(int16_t& v) {
    uint16_t u;
    if (!ReadBig(*this, u)) return false;
    v = static_cast<int16_t>(u);
    return true;
}
bool BitStream::Read(uint32_t& v) { return ReadBig(*this, v); }
bool BitStream::Read(int32_t& v) {
    uint32_t u;
    if (!ReadBig(*this, u)) return false;
    v = static_cast<int32_t>(u);
    return true;
}
bool BitStream::Read(uint64_t& v) { return ReadBig(*this, v); }
bool BitStream::Read(int64_t& v) {
    uint64_t u;
    if (!ReadBig(*this, u)) return false;
    v = static_cast<int64_t>(u);
    return true;
}
bool BitStream::Read(float& v) {
    uint32_t u;
    if (!ReadBig(*this, u)) return false;
    std::memcpy(&v, &u, 4);
    return true;
}
bool BitStream::Read(double& v) {
    uint64_t u;
    if (!ReadBig(*this, u)) return false;
    std::memcpy(&v, &u, 8);
    return true;
}

bool BitStream::ContentEquals(const BitStream& other) const {
    if (writeOffset_ != other.writeOffset_) return false;
    const size_t full = writeOffset_ >> 3;
    if (full && std::memcmp(data_, other.data_, full) != 0) return false;
    const unsigned rem = writeOffset_ & 7;
    return rem == 0 || ((data_[full] ^ other.data_[full]) & HighMask(rem)) == 0;
}

}  // namespace Net
