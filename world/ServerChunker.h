#pragma once
// The server's chunk manager: queues of chunk and spawn requests filled by the
// network thread and answered by the chunk worker, lookup / load / generation
// of chunks, eviction of chunks far from the players, and the chunk store in
// the database.
//
// Lock order of the program, outermost first:
//   Lua lock -> residencyMutex -> entity registry -> a player's own lock
//   -> octreeMutex -> scratch buffer locks.
// The two queue mutexes are leaves: nothing else is taken while one is held.
#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Timer.h"
#include "math/Vector3.h"
#include "math/Vector3i.h"
#include "net/BitStream.h"
#include "net/Types.h"
#include "world/BaseChunker.h"
#include "world/Chunk.h"
#include "world/IChunkHost.h"
#include "world/sql/SqlDatabase.h"

namespace Tav {

class PhysicsManager;
struct LxfmlDesign;

// One client's request for chunks, answered by the chunk worker.
struct ChunkRequest {
    std::vector<Vector3i> coordinates;  // chunk coordinates, in request order
    Net::AddressOrGuid target;          // who gets the answer
    int32_t priority = 2;               // send priority, passed through
    bool broadcast = false;             // passed through to the send
};

// A new connection waiting for its player.
struct SpawnRequest {
    Net::Guid guid;
    Vector3 position;
};

class ServerChunker : public BaseChunker {
public:
    // Eviction starts when more than this many chunks are loaded and stops
    // as soon as fewer remain.
    static constexpr uint32_t kEvictionLimit = 10000;
    // A chunk is evicted only when it is farther than this (in chunk units)
    // from every player.
    static constexpr double kEvictionDistance = 10.0;
    // A request is served for at most this many coordinates; the rest of a
    // longer request is ignored. It bounds what one message can make the
    // worker commit to, and keeps every answer (at most 1024 x 12300 bytes
    // before compression) below the network library's largest message.
    static constexpr size_t kMaxCoordinatesPerRequest = 1024;
    // The chunk-request queue holds at most this many coordinates in all;
    // a request that would go beyond is dropped, so a peer that sends
    // requests faster than the worker answers them cannot make the queue
    // grow without bound.
    static constexpr size_t kMaxQueuedCoordinates = 64 * kMaxCoordinatesPerRequest;

    // Opens the database (an error of the open leaves the constructor as
    // SqlException) and creates the chunk table when it does not exist.
    // host receives the answers and spawns; it may be set later with SetHost,
    // before the worker starts.
    explicit ServerChunker(PhysicsManager* owner, IChunkHost* host = nullptr,
                           const std::string& databaseFile = "world.db",
                           uint32_t evictionLimit = kEvictionLimit);
    ~ServerChunker() override;

    ServerChunker(const ServerChunker&) = delete;
    ServerChunker& operator=(const ServerChunker&) = delete;

    void SetHost(IChunkHost* host) { host_ = host; }

    // Network thread: queue a request for the worker. False when the request
    // was dropped because the queue is full (see kMaxQueuedCoordinates).
    bool QueueChunkRequest(const ChunkRequest& request);
    void QueueSpawnRequest(SpawnRequest request);

    // One worker step: script garbage, held items, both queues, then a pause
    // of 16 ms.
    void Update() override;

    // Worker only: answers every queued chunk request (including those queued
    // meanwhile), then every queued spawn request. Eviction runs between two
    // answers, never while an answer is being built.
    void ProcessQueues();

    // Worker only: the chunk at those coordinates, found, loaded or
    // generated; null only for coordinates outside the world.
    Chunk* GetChunk(int32_t cx, int32_t cy, int32_t cz);

    // Worker only: a new chunk from the pool, initialised with its
    // coordinates, filled by fill, and only then made visible in the octree
    // and appended to the loaded list. Null for coordinates outside the world.
    template <class Fill>
    Chunk* CreateChunk(int32_t cx, int32_t cy, int32_t cz, Fill&& fill) {
        Chunk* chunk = NewChunk(cx, cy, cz);
        if (!chunk) return nullptr;
        fill(*chunk);
        return PublishChunk(chunk);
    }

    // Worker only: when more chunks are loaded than the limit, frees chunks
    // farther than kEvictionDistance from every player, oldest first, until
    // fewer than the limit remain or the list has been walked. With no
    // player every chunk counts as far. Skipped (and retried after the next
    // answer) while another thread holds residencyMutex.
    void EvictChunks();

    // Stores every chunk of the set (one row each). The chunks must stay
    // resident for the call: the worker calls it freely, any other thread
    // holds residencyMutex from the edit that filled the set. The cells are
    // read under octreeMutex; the statements run with no lock of ours held.
    // A failed statement is reported on the console and the other chunks
    // are still stored; returns false when any chunk was not stored.
    bool SaveChunks(const TouchedSet& chunks);

    // ---- Design stamping and undo (world/DesignStamping.cpp) ----
    // Both change only chunks that are loaded (never loading or creating
    // one), add the chunks they change to touched, store those chunks, and
    // return whether every one was stored. The caller holds residencyMutex
    // from the call to its last use of touched (it sends them).
    //
    // Places the design's bricks, in list order, with their anchors at
    // origin + the brick's cell: a brick that would cover an occupied cell
    // or the cell (0, 0, 0), or whose anchor lies below row 0, is left out.
    bool PlaceDesignAndSave(TouchedSet& touched, const LxfmlDesign& design, Vector3i origin);
    // At each brick's anchor, removes the brick found there when that cell
    // is its origin cell and has the design brick's colour.
    bool RemoveDesignAndSave(TouchedSet& touched, const LxfmlDesign& design, Vector3i origin);
    // Bricks stamped or tested under one hold of octreeMutex: it bounds how
    // long a design keeps the chunk worker's lookups waiting.
    static constexpr size_t kDesignBricksPerHold = 256;

    // Worker only: the stored copy of a chunk, loaded and made resident, or
    // null when there is no usable row. A row that cannot be read, decoded
    // or unpacked is reported on the console and treated as missing.
    Chunk* LoadChunkFromDb(int32_t cx, int32_t cy, int32_t cz);

    // Reads framed bytes (u32 compressed length, u32 raw length, compressed
    // bytes) and appends the 12288-byte cell form to out. False, and out
    // unchanged, when the frame is short, its raw length is not that of a
    // chunk, or the data does not inflate to exactly that length.
    bool DecompressChunk(Net::BitStream& in, Net::BitStream& out);

    // Number of chunks in memory (the loaded list).
    uint32_t LoadedCount() const { return loadedCount_.load(); }
    uint32_t EvictionLimit() const { return evictionLimit_; }
    SqlDatabase& Database() { return database_; }

    // Held by eviction for its pass. A thread other than the worker that
    // keeps chunk pointers beyond one hold of octreeMutex (a brick edit that
    // then sends and stores its touched set, design stamping) holds it from
    // its first lookup to its last use of those pointers.
    std::mutex residencyMutex;

    // Coordinates that have a place in the octree: x and z from -24000 to
    // 23999, y from 0 to 4.
    static bool IsInWorld(int32_t cx, int32_t cy, int32_t cz);
    // The chunk column of a spawn position (y of the result is 0).
    static Vector3i SpawnColumn(const Vector3& position);
    // The chunk that eviction counts a player at this position as standing in.
    static Vector3i PlayerChunk(const Vector3& position);
    // The key text of a chunk's row: "cx,cy,cz".
    static std::string LocationKey(int32_t cx, int32_t cy, int32_t cz);

private:
    Chunk* NewChunk(int32_t cx, int32_t cy, int32_t cz);
    Chunk* PublishChunk(Chunk* chunk);
    void AnswerChunkRequest(const ChunkRequest& request);
    void AnswerSpawnRequest(const SpawnRequest& request);
    void ReportStoreError(const char* what, int32_t cx, int32_t cy, int32_t cz, const std::string& text);

    PhysicsManager* owner_;
    IChunkHost* host_;
    std::mutex chunkRequestMutex_;
    std::mutex spawnRequestMutex_;
    SqlDatabase database_;
    std::list<Chunk*> loaded_;  // creation order, oldest first; worker only
    std::atomic<uint32_t> loadedCount_{0};
    std::list<ChunkRequest> chunkRequests_;
    size_t queuedCoordinates_ = 0;  // the coordinates of every queued chunk request
    std::list<SpawnRequest> spawnRequests_;
    std::shared_ptr<Timer> timer_;
    uint32_t evictionLimit_;
};

}  // namespace Tav
