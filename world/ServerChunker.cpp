#include "world/ServerChunker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <thread>

#include "core/ConsoleOutput.h"
#include "world/BigEndian.h"
#include "world/BrickCatalogue.h"
#include "world/ChunkStoreCodec.h"
#include "world/Octree.h"
#include "world/ScratchBuffers.h"
#include "world/TerrainGenerator.h"
#include "world/sql/SqlException.h"

namespace Tav {

namespace {

// Single-precision cell sizes used in double arithmetic.
constexpr double kCellWidth = static_cast<double>(0.8f);    // 0.800000011920929
constexpr double kCellHeight = static_cast<double>(0.96f);  // 0.9599999785423279

// A double truncated toward zero into 32 bits; values beyond the range (and
// NaN) are clamped so that the conversion is always defined.
int32_t TruncToInt(double v)
{
    if (!(v == v)) return 0;
    if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
    if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(v);
}

// The chunk column of a world x or z: tx = x / 0.8 + 8 truncated, then tx / 16
// truncated, minus 1 for negative tx.
int32_t ColumnOf(double v)
{
    const int32_t t = TruncToInt(v / kCellWidth + 8.0);
    return t / 16 - (t < 0 ? 1 : 0);
}

}  // namespace

ServerChunker::ServerChunker(PhysicsManager* owner, IChunkHost* host, const std::string& databaseFile,
                             uint32_t evictionLimit)
    : owner_(owner), host_(host), evictionLimit_(evictionLimit)
{
    SimplexNoise::InitPermutations();
    timer_ = Timer::Create("boost");
    database_.Open(databaseFile.c_str());
    try {
        database_.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    } catch (const SqlException&) {
        // The table exists already.
    }
}

ServerChunker::~ServerChunker()
{
    Stop();  // no worker may run on a half-destroyed object
    timer_.reset();
    chunkRequests_.clear();
    turns_.clear();
    spawnRequests_.clear();
    loaded_.clear();  // the chunks themselves went back to the pool with the octree
}

// --------------------------------------------------------------- edit scope

ServerChunker::EditScope::EditScope(ServerChunker& chunker)
    : chunker_(chunker), residency_(chunker.residencyMutex_), cells_(chunker.octreeMutex)
{
}

void ServerChunker::EditScope::HoldCells()
{
    if (!cells_.owns_lock()) cells_.lock();
}

void ServerChunker::EditScope::ReleaseCells()
{
    if (cells_.owns_lock()) cells_.unlock();
}

bool ServerChunker::EditScope::CanPlaceBrick(const BrickShape& shape, const Vector3i& anchor,
                                             const Vector3i& excludedMin, const Vector3i& excludedMax,
                                             std::vector<PlacementEntry>* entries, bool requireSupport)
{
    HoldCells();
    return chunker_.CanPlaceBrickLocked(shape, anchor, excludedMin, excludedMax, entries, requireSupport);
}

bool ServerChunker::EditScope::PlaceBrick(const Vector3i& excludedMin, const Vector3i& excludedMax,
                                          const BrickShape& shape, uint8_t colour, const Vector3i& anchor,
                                          TouchedSet* touched, bool requireSupport)
{
    HoldCells();
    return chunker_.PlaceBrickLocked(excludedMin, excludedMax, shape, colour, anchor, touched, requireSupport);
}

BrickShape* ServerChunker::EditScope::RemoveBrickAt(const Vector3i& cell, TouchedSet* touched)
{
    HoldCells();
    return chunker_.RemoveBrickAtLocked(cell, touched);
}

void ServerChunker::EditScope::CollectShapeChunks(const BrickShape& shape, const Vector3i& anchor,
                                                  TouchedSet& touched)
{
    HoldCells();
    chunker_.CollectShapeChunksLocked(shape, anchor, touched);
}

bool ServerChunker::EditScope::IsBoxOccupied(const Vector3i& min, const Vector3i& max)
{
    HoldCells();
    return chunker_.IsBoxOccupiedLocked(min, max);
}

Chunk* ServerChunker::EditScope::FindCell(const Vector3i& cell, int& index)
{
    HoldCells();
    return chunker_.FindCellLocked(cell, index);
}

TouchedSet ServerChunker::EditScope::Store(const TouchedSet& touched, StoreMode mode)
{
    ReleaseCells();
    return chunker_.SaveChunks(touched, mode);
}

// ------------------------------------------------------------------- queues

namespace {

// The coordinates that a request is served for.
size_t ServedCoordinates(const ChunkRequest& request)
{
    return std::min(request.coordinates.size(), ServerChunker::kMaxCoordinatesPerRequest);
}

}  // namespace

bool ServerChunker::QueueChunkRequest(const ChunkRequest& request)
{
    const uint64_t peer = request.target.guid.g;
    const size_t n = ServedCoordinates(request);
    ChunkRequest copy = request;  // made before the lock is taken
    std::lock_guard<std::mutex> lock(chunkRequestMutex_);
    auto it = chunkRequests_.find(peer);
    const size_t requests = it == chunkRequests_.end() ? 0 : it->second.requests.size();
    const size_t coordinates = it == chunkRequests_.end() ? 0 : it->second.coordinates;
    if (requests >= kMaxQueuedRequestsPerPeer || coordinates + n > kMaxQueuedCoordinatesPerPeer ||
        queuedCoordinates_ + n > kMaxQueuedCoordinates)
        return false;
    if (it == chunkRequests_.end()) {
        it = chunkRequests_.emplace(peer, PeerRequests()).first;
        turns_.push_back(peer);
    }
    it->second.requests.push_back(std::move(copy));
    it->second.coordinates += n;
    queuedCoordinates_ += n;
    return true;
}

void ServerChunker::DropChunkRequests(Net::Guid peer)
{
    std::list<ChunkRequest> dropped;  // freed after the lock is released
    std::lock_guard<std::mutex> lock(chunkRequestMutex_);
    auto it = chunkRequests_.find(peer.g);
    if (it == chunkRequests_.end()) return;
    queuedCoordinates_ -= it->second.coordinates;
    dropped.swap(it->second.requests);
    chunkRequests_.erase(it);
    turns_.remove(peer.g);
}

void ServerChunker::QueueSpawnRequest(SpawnRequest request)
{
    std::lock_guard<std::mutex> lock(spawnRequestMutex_);
    spawnRequests_.push_back(request);
}

void ServerChunker::Update()
{
    if (host_) host_->CollectScriptGarbage();
    // The time since the previous step, at most 0.1 s: a first reading of
    // 0.1 s or more gives 0.1; below that a second reading, capped the same
    // way, is the one used.
    const double elapsed = timer_->GetElapsed();
    const double itemDt = elapsed >= 0.1 ? 0.1 : std::min(timer_->GetElapsed(), 0.1);
    if (host_) host_->UpdateHeldItems(itemDt);
    timer_->Reset();
    ProcessQueues();
    RetryUnstoredWhenDue();
    std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::microseconds(16000));
}

void ServerChunker::ProcessQueues()
{
    // The coordinates served to each peer in this step.
    std::map<uint64_t, size_t> served;
    auto hasShareLeft = [&served](uint64_t peer) {
        auto it = served.find(peer);
        return it == served.end() || it->second < kStepShareCoordinates;
    };
    std::unique_lock<std::mutex> chunkLock(chunkRequestMutex_);
    for (;;) {
        const auto turn = std::find_if(turns_.begin(), turns_.end(), hasShareLeft);
        if (turn == turns_.end()) break;
        const uint64_t peer = *turn;
        turns_.erase(turn);
        auto queue = chunkRequests_.find(peer);
        ChunkRequest request = std::move(queue->second.requests.front());
        queue->second.requests.pop_front();
        const size_t n = ServedCoordinates(request);
        queue->second.coordinates -= n;
        queuedCoordinates_ -= n;
        if (queue->second.requests.empty())
            chunkRequests_.erase(queue);
        else
            turns_.push_back(peer);  // its next request after everyone else's
        chunkLock.unlock();
        served[peer] += std::max<size_t>(n, 1);
        AnswerChunkRequest(request);
        EvictChunks();  // between answers: no answer points at a chunk now
        chunkLock.lock();
    }
    chunkLock.unlock();

    // Spawns that waited for the database go first, once their pause is over.
    const auto now = std::chrono::steady_clock::now();
    std::list<SpawnRequest> due;
    for (auto it = delayedSpawns_.begin(); it != delayedSpawns_.end();) {
        if (it->first <= now) {
            due.push_back(it->second);
            it = delayedSpawns_.erase(it);
        } else {
            ++it;
        }
    }
    auto spawn = [this, now](const SpawnRequest& request) {
        // A block that the database could not give is tried again a second
        // later; the peer waits for its player meanwhile.
        if (!AnswerSpawnRequest(request)) delayedSpawns_.emplace_back(now + std::chrono::seconds(1), request);
        EvictChunks();
    };
    for (const SpawnRequest& request : due) spawn(request);

    std::unique_lock<std::mutex> spawnLock(spawnRequestMutex_);
    while (!spawnRequests_.empty()) {
        SpawnRequest request = spawnRequests_.front();
        spawnRequests_.pop_front();
        spawnLock.unlock();
        spawn(request);
        spawnLock.lock();
    }
}

void ServerChunker::AnswerChunkRequest(const ChunkRequest& request)
{
    TouchedSet chunks;
    bool databaseFailed = false;
    size_t leftOut = 0;
    const size_t n = std::min(request.coordinates.size(), kMaxCoordinatesPerRequest);
    for (size_t i = 0; i < n; ++i) {
        const Vector3i& c = request.coordinates[i];
        Chunk* chunk = Acquire(c.x, c.y, c.z, databaseFailed);  // null outside the world: skipped
        if (chunk && chunk->nonEmptyCount != 0) chunks.insert(chunk);
        if (!chunk && databaseFailed) ++leftOut;
    }
    if (leftOut > 1)
        PrintConsoleLine(std::to_string(leftOut) + " chunks were left out of an answer because world.db could not be read");
    if (!chunks.empty() && host_) host_->SendChunks(chunks, request.target, request.priority, request.broadcast);
}

bool ServerChunker::AnswerSpawnRequest(const SpawnRequest& request)
{
    const Vector3i column = SpawnColumn(request.position);
    bool databaseFailed = false;
    for (int64_t x = int64_t(column.x) - 1; x <= int64_t(column.x) + 1; ++x)
        for (int64_t z = int64_t(column.z) - 1; z <= int64_t(column.z) + 1; ++z)
            for (int32_t y = 0; y <= 4; ++y)
                if (x >= OctreeNode::kRootMinX && x < OctreeNode::kRootMaxX && z >= OctreeNode::kRootMinZ &&
                    z < OctreeNode::kRootMaxZ)
                    Acquire(static_cast<int32_t>(x), y, static_cast<int32_t>(z), databaseFailed);
    if (databaseFailed) return false;
    if (host_) host_->SpawnPlayer(request.guid, request.position);
    return true;
}

// ------------------------------------------------------- lookup and creation

bool ServerChunker::IsInWorld(int32_t cx, int32_t cy, int32_t cz)
{
    return cx >= OctreeNode::kRootMinX && cx < OctreeNode::kRootMaxX && cy >= OctreeNode::kRootMinY &&
           cy < OctreeNode::kRootMaxY && cz >= OctreeNode::kRootMinZ && cz < OctreeNode::kRootMaxZ;
}

Vector3i ServerChunker::SpawnColumn(const Vector3& position)
{
    return Vector3i(ColumnOf(position.x), 0, ColumnOf(position.z));
}

Vector3i ServerChunker::PlayerChunk(const Vector3& position)
{
    return Vector3i(ColumnOf(position.x), TruncToInt(position.y / kCellHeight) / 16, ColumnOf(position.z));
}

std::string ServerChunker::LocationKey(int32_t cx, int32_t cy, int32_t cz)
{
    char text[48];
    std::snprintf(text, sizeof text, "%d,%d,%d", cx, cy, cz);
    return text;
}

Chunk* ServerChunker::GetChunk(int32_t cx, int32_t cy, int32_t cz)
{
    bool databaseFailed = false;
    return Acquire(cx, cy, cz, databaseFailed);
}

Chunk* ServerChunker::Acquire(int32_t cx, int32_t cy, int32_t cz, bool& databaseFailed)
{
    if (!IsInWorld(cx, cy, cz)) return nullptr;
    {
        std::lock_guard<std::mutex> lock(octreeMutex);
        if (!root) return nullptr;
        if (Chunk* found = root->Find(cx, cy, cz)) return found;
    }
    if (databaseFailed) return nullptr;
    if (Chunk* stored = LoadChunkFromDb(cx, cy, cz, databaseFailed)) return stored;
    if (databaseFailed) return nullptr;
    return CreateChunk(cx, cy, cz, [](Chunk& chunk) { TerrainGenerator::GenerateChunk(&chunk); });
}

Chunk* ServerChunker::NewChunk(int32_t cx, int32_t cy, int32_t cz)
{
    if (!IsInWorld(cx, cy, cz)) return nullptr;
    Chunk* chunk = AllocChunk();
    chunk->Init(cx, cy, cz);
    return chunk;
}

Chunk* ServerChunker::PublishChunk(Chunk* chunk)
{
    {
        std::lock_guard<std::mutex> lock(octreeMutex);
        if (!root || !root->Insert(chunk->cx, chunk->cy, chunk->cz, chunk)) {
            // Only this thread inserts, so the key cannot have been filed
            // meanwhile; without a root (stopped) there is nowhere to file it.
            Chunk* existing = root ? root->Find(chunk->cx, chunk->cy, chunk->cz) : nullptr;
            FreeChunk(chunk);
            return existing;
        }
    }
    loaded_.push_back(chunk);
    loadedCount_.fetch_add(1);
    return chunk;
}

// ----------------------------------------------------------------- eviction

void ServerChunker::EvictChunks()
{
    const uint32_t loaded = loadedCount_.load();
    if (loaded <= evictionLimit_) return;
    std::unique_lock<std::mutex> residency(residencyMutex_, std::defer_lock);
    if (uint64_t(loaded) >= uint64_t(evictionLimit_) + kMaxCoordinatesPerRequest)
        residency.lock();  // far enough over: wait for the edit
    else if (!residency.try_lock())
        return;  // an edit holds chunk pointers: after the next answer

    // The players' chunk positions, copied under the registry's mutex, which
    // is released before the octree mutex is taken.
    std::vector<Vector3i> players;
    if (host_) host_->ForEachPlayerPosition([&players](const Vector3& p) { players.push_back(PlayerChunk(p)); });

    auto isFar = [&players](const Chunk& chunk) {
        for (const Vector3i& p : players) {
            const double dx = double(chunk.cx) - double(p.x);
            const double dy = double(chunk.cy) - double(p.y);
            const double dz = double(chunk.cz) - double(p.z);
            if (std::sqrt(dx * dx + dy * dy + dz * dz) <= kEvictionDistance) return false;
        }
        return true;
    };

    std::vector<Chunk*> evicted;
    {
        std::lock_guard<std::mutex> lock(octreeMutex);
        for (auto it = loaded_.begin(); it != loaded_.end() && loadedCount_.load() >= evictionLimit_;) {
            Chunk* chunk = *it;
            if (!isFar(*chunk) || unstored_.count(chunk) != 0) {
                ++it;
                continue;
            }
            if (root) root->Remove(chunk->cx, chunk->cy, chunk->cz);
            evicted.push_back(chunk);
            it = loaded_.erase(it);
            loadedCount_.fetch_sub(1);
        }
    }
    // Out of the octree, so no lookup on any thread can reach them any more.
    for (Chunk* chunk : evicted) FreeChunk(chunk);
}

// -------------------------------------------------------------- chunk store

void ServerChunker::ReportStoreError(const char* what, int32_t cx, int32_t cy, int32_t cz, const std::string& text)
{
    PrintConsoleLine(std::string(what) + " chunk " + LocationKey(cx, cy, cz) + ": " + text);
}

TouchedSet ServerChunker::SaveChunks(const TouchedSet& chunks, StoreMode mode)
{
    if (chunks.empty()) return {};
    const std::vector<Chunk*> order(chunks.begin(), chunks.end());
    const size_t n = order.size();

    // Rows reach the database in the order their cells were read: a later
    // store of a chunk never commits before an earlier one.
    std::lock_guard<std::mutex> store(storeMutex_);
    std::vector<SqlBuffer> statements(n);
    std::string error;
    try {
        // The cells are copied under the octree mutex, so that no edit
        // changes them halfway; compression and encoding run after it is
        // released, and the statements after the scratch buffers are.
        std::unique_lock<std::mutex> cells(octreeMutex);
        ScratchBufferLock rawLock(ScratchBuffer::Decompress);
        std::vector<unsigned char> heap;
        unsigned char* raw = rawLock.Data();
        if (!raw || rawLock.Size() < n * kSerializedChunkBytes) {
            heap.resize(n * kSerializedChunkBytes);
            raw = heap.data();
        }
        for (size_t i = 0; i < n; ++i) order[i]->SerializeCells(raw + i * kSerializedChunkBytes);
        cells.unlock();
        for (size_t i = 0; i < n; ++i)
            FormatChunkRowStatement(statements[i], order[i]->cx, order[i]->cy, order[i]->cz,
                                    raw + i * kSerializedChunkBytes, kSerializedChunkBytes);
    } catch (const SqlException& e) {
        error = e.ErrorMessage();
    } catch (const std::exception& e) {
        error = e.what();
    }
    StoredRows rows;
    if (error.empty())
        rows = StoreRows(database_, statements, mode);
    else
        rows.error = error;

    TouchedSet stored(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(rows.count));
    std::vector<const Chunk*> recovered;
    {
        std::lock_guard<std::mutex> cells(octreeMutex);
        for (size_t i = 0; i < n; ++i) {
            if (i < rows.count) {
                if (unstored_.erase(order[i]) != 0) recovered.push_back(order[i]);
            } else {
                unstored_.insert(order[i]);
            }
        }
        unstoredCount_.store(unstored_.size());
    }
    for (const Chunk* c : recovered)
        PrintConsoleLine("Stored chunk " + LocationKey(c->cx, c->cy, c->cz) + " (its earlier store had failed)");
    for (size_t i = rows.count; i < n; ++i)
        ReportStoreError("Cannot store", order[i]->cx, order[i]->cy, order[i]->cz,
                         rows.error + " (kept in memory, stored again later)");
    return stored;
}

bool ServerChunker::StoreUnstoredChunks(bool broadcast)
{
    if (unstoredCount_.load() == 0) return true;
    TouchedSet pending;
    {
        std::lock_guard<std::mutex> cells(octreeMutex);
        pending.insert(unstored_.begin(), unstored_.end());
    }
    // Only the worker evicts, and it never evicts these: they stay resident.
    const TouchedSet stored = SaveChunks(pending, StoreMode::AllOrNothing);
    // Their change was never shown: now that it is on disk, everyone sees it.
    if (broadcast && !stored.empty() && host_)
        host_->SendChunks(stored, Net::AddressOrGuid(Net::UNASSIGNED_GUID, Net::UNASSIGNED_SYSTEM_ADDRESS),
                          Net::HIGH_PRIORITY, true);
    return unstoredCount_.load() == 0;
}

void ServerChunker::RetryUnstoredWhenDue()
{
    if (unstoredCount_.load() == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextStoreRetry_) return;
    if (StoreUnstoredChunks()) {
        storeRetryDelay_ = std::chrono::milliseconds(0);
        return;
    }
    // The first retry comes on the next step; while the disk keeps failing,
    // the pause doubles up to half a minute.
    storeRetryDelay_ = std::min<std::chrono::milliseconds>(
        std::chrono::milliseconds(30000),
        storeRetryDelay_.count() == 0 ? std::chrono::milliseconds(250) : storeRetryDelay_ * 2);
    nextStoreRetry_ = now + storeRetryDelay_;
}

void ServerChunker::WorkerStopped()
{
    if (!StoreUnstoredChunks(false)) {
        PrintConsoleLine(std::to_string(unstoredCount_.load()) +
                  " chunk(s) could not be stored before the world was unloaded; their latest changes are lost");
    }
    std::lock_guard<std::mutex> cells(octreeMutex);
    unstored_.clear();
    unstoredCount_.store(0);
    loaded_.clear();
    loadedCount_.store(0);
    storeRetryDelay_ = std::chrono::milliseconds(0);
    nextStoreRetry_ = {};
}

Chunk* ServerChunker::LoadChunkFromDb(int32_t cx, int32_t cy, int32_t cz, bool& failed)
{
    ChunkRowStatus status = ChunkRowStatus::Failed;
    std::string error;
    Chunk* chunk = nullptr;
    {
        std::unique_lock<std::mutex> store(storeMutex_);
        ScratchBufferLock rawLock(ScratchBuffer::Decompress);
        std::vector<unsigned char> heap;
        unsigned char* raw = rawLock.Data();
        if (!raw) {
            heap.resize(kStoredChunkRawLength);
            raw = heap.data();
        }
        try {
            status = LoadChunkRowInto(database_, cx, cy, cz, kStoredChunkRawLength, raw, error);
        } catch (const std::exception& e) {
            error = e.what();
        }
        store.unlock();
        if (status == ChunkRowStatus::Loaded) {
            // Filled before it is filed, so that no other thread sees it half made.
            chunk = NewChunk(cx, cy, cz);
            Net::BitStream in(raw, kStoredChunkRawLength, false);
            chunk->Deserialize(in);
        }
    }
    switch (status) {
    case ChunkRowStatus::Loaded:
        return PublishChunk(chunk);
    case ChunkRowStatus::Missing:
        return nullptr;
    case ChunkRowStatus::Damaged:
        // The row was read and cannot be used: the chunk is generated for
        // this run, and its row stays as it is unless an edit stores it.
        ReportStoreError("Cannot load", cx, cy, cz, error + " (a damaged row: the chunk is generated instead)");
        return nullptr;
    case ChunkRowStatus::Failed:
        break;
    }
    // The row may hold edits: nothing may stand in for it. The chunk stays
    // away until the database can be read.
    ReportStoreError("Cannot load", cx, cy, cz, error + " (the chunk is left out until world.db can be read)");
    failed = true;
    return nullptr;
}

bool ServerChunker::DecompressChunk(Net::BitStream& in, Net::BitStream& out)
{
    if (in.GetReadOffset() % 8 != 0) return false;
    const size_t offset = in.GetReadOffset() / 8;
    const size_t available = in.GetNumberOfBytesUsed() - offset;
    if (available < kChunkFrameHeaderSize) return false;
    const unsigned char* framed = in.GetData() + offset;
    // The frame's own length, or what the stream holds when it claims more
    // (InflateChunkFrame then refuses it).
    const size_t m = std::min<size_t>(available, kChunkFrameHeaderSize + size_t(LoadU32BE(framed)));

    ScratchBufferLock rawLock(ScratchBuffer::Decompress);
    std::vector<unsigned char> heap;
    unsigned char* raw = rawLock.Data();
    if (!raw) {
        heap.resize(kStoredChunkRawLength);
        raw = heap.data();
    }
    std::string error;
    if (!InflateChunkFrame(framed, m, kStoredChunkRawLength, raw, error)) return false;
    in.IgnoreBytes(m);
    out.WriteBytes(raw, kStoredChunkRawLength);
    return true;
}

}  // namespace Tav
