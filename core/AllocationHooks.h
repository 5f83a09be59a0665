#pragma once
// The program's allocator for the network library: every block comes from
// one pool of 1024-byte chunks guarded by one mutex, and a map remembers the
// size asked for each live block. A block of s bytes takes s / 1024 + 1
// contiguous chunks. Installed into Net (net/Allocation.h) by main before
// anything touches the network library.
//
// Each operation costs constant time for blocks of up to 64 chunks and time
// logarithmic in the number of free runs for larger ones (plus the size
// map's logarithmic update); nothing walks the free memory
// (core/AllocationHooks.cpp tells how).
#include <cstddef>
#include <map>

namespace Tav {

inline constexpr std::size_t kNetChunkSize = 1024;

// Largest block the hooks hand out; bigger requests fail (null) before the
// pool is asked, so that no chunk count or pool size can overflow.
inline constexpr std::size_t kNetMaxBlockSize = static_cast<std::size_t>(-1) / 8;

void* NetMalloc(std::size_t size);
// Always moves the block. A null p behaves like NetMalloc. When no new block
// can be had, returns null and leaves p allocated and unchanged.
void* NetRealloc(void* p, std::size_t size);
// Null is ignored, and so is a pointer these hooks did not hand out.
void NetFree(void* p);

// The same with a source position, which is ignored.
void* NetMalloc_Ex(std::size_t size, const char* file, unsigned int line);
void* NetRealloc_Ex(void* p, std::size_t size, const char* file, unsigned int line);
void NetFree_Ex(void* p, const char* file, unsigned int line);

// Installs the six hooks into the network library, in the order SetMalloc,
// SetRealloc, SetFree, SetMalloc_Ex, SetRealloc_Ex, SetFree_Ex.
void InstallNetHooks();

// Number of chunks a block of the given size takes.
constexpr std::size_t NetChunkCount(std::size_t size) { return size / kNetChunkSize + 1; }

// A copy of the size map: every live block and the size asked for it.
std::map<const void*, std::size_t> NetLiveBlocks();

struct NetPoolStats {
    std::size_t systemChunks = 0;  // chunks taken from the system so far (never given back)
    std::size_t liveBlocks = 0;
    std::size_t liveChunks = 0;    // chunks of the live blocks
};
NetPoolStats GetNetPoolStats();

}  // namespace Tav
