#include "world/ScratchBuffers.h"

#include <mutex>
#include <new>

namespace Tav {

unsigned char* g_decompressBuffer = nullptr;
unsigned char* g_compressBuffer = nullptr;

namespace {

std::mutex g_decompressMutex;
std::mutex g_compressMutex;

std::mutex& MutexOf(ScratchBuffer which)
{
    return which == ScratchBuffer::Decompress ? g_decompressMutex : g_compressMutex;
}

}  // namespace

void AllocateScratchBuffers()
{
    {
        std::lock_guard<std::mutex> lock(g_decompressMutex);
        if (!g_decompressBuffer)
            g_decompressBuffer = new unsigned char[kDecompressBufferSize];
    }
    std::lock_guard<std::mutex> lock(g_compressMutex);
    if (!g_compressBuffer)
        g_compressBuffer = new unsigned char[kCompressBufferSize];
}

void FreeScratchBuffers()
{
    {
        std::lock_guard<std::mutex> lock(g_decompressMutex);
        delete[] g_decompressBuffer;
        g_decompressBuffer = nullptr;
    }
    std::lock_guard<std::mutex> lock(g_compressMutex);
    delete[] g_compressBuffer;
    g_compressBuffer = nullptr;
}

ScratchBufferLock::ScratchBufferLock(ScratchBuffer which) : m_which(which)
{
    MutexOf(m_which).lock();
    Take();
}

ScratchBufferLock::ScratchBufferLock(ScratchBuffer which, std::try_to_lock_t) : m_which(which)
{
    if (MutexOf(m_which).try_lock()) Take();
}

void ScratchBufferLock::Take()
{
    m_owned = true;
    if (m_which == ScratchBuffer::Decompress) {
        m_data = g_decompressBuffer;
        m_size = kDecompressBufferSize;
    } else {
        m_data = g_compressBuffer;
        m_size = kCompressBufferSize;
    }
}

ScratchBufferLock::~ScratchBufferLock()
{
    if (m_owned) MutexOf(m_which).unlock();
}

}  // namespace Tav
