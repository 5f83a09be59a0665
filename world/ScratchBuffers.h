#pragma once

#include <cstddef>
#include <mutex>

namespace Tav {

// The process-wide scratch buffers of the chunk codecs: the destination of
// chunk decompression and of chunk compression. Tav::Server::Start allocates
// them, Tav::Server::Stop frees them; their contents are not initialised.
//
// Use them only through a ScratchBufferLock, held from the compression or
// decompression into the buffer to the last read of its contents, so that two
// threads never work in one buffer at once.
//
// The buffers' locks come last in the program's lock order, the decompress
// buffer's before the compress buffer's: core/LockOrder.h.
extern unsigned char* g_decompressBuffer;
extern unsigned char* g_compressBuffer;

constexpr std::size_t kDecompressBufferSize = 10485760;  // 10 MiB
constexpr std::size_t kCompressBufferSize = 5242880;     // 5 MiB

// Allocates both buffers (decompress first) unless they already exist;
// throws std::bad_alloc when memory runs out.
void AllocateScratchBuffers();
// Frees both buffers; waits for a holder of a buffer's lock to release it.
void FreeScratchBuffers();

enum class ScratchBuffer { Decompress, Compress };

// Exclusive use of one scratch buffer for the guard's lifetime. Data() is
// null while the buffers are not allocated; callers then use a buffer of
// their own.
class ScratchBufferLock {
public:
    explicit ScratchBufferLock(ScratchBuffer which);
    // Takes the buffer only when no other thread holds it: Data() is null
    // otherwise, and the caller uses a buffer of its own instead of waiting.
    ScratchBufferLock(ScratchBuffer which, std::try_to_lock_t);
    ~ScratchBufferLock();
    ScratchBufferLock(const ScratchBufferLock&) = delete;
    ScratchBufferLock& operator=(const ScratchBufferLock&) = delete;

    unsigned char* Data() const { return m_data; }
    std::size_t Size() const { return m_data ? m_size : 0; }

private:
    void Take();
    ScratchBuffer m_which;
    bool m_owned = false;
    unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
};

}  // namespace Tav
