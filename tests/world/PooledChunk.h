#pragma once
#include "world/Chunk.h"

namespace Tav {

// A chunk from the pool, given back at the end of the scope.
struct PooledChunk {
    Chunk* chunk = AllocChunk();
    ~PooledChunk() { FreeChunk(chunk); }
    PooledChunk() = default;
    PooledChunk(const PooledChunk&) = delete;
    PooledChunk& operator=(const PooledChunk&) = delete;
    Chunk* operator->() const { return chunk; }
};

}  // namespace Tav
