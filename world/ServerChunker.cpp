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

// Room for one stored chunk's raw cells: the decompression scratch buffer,
// or heap when it could not be had.
unsigned char* RawChunkRoom(const ScratchBufferLock& scratch, std::vector<unsigned char>& heap)
{
    if (unsigned char* raw = scratch.Data()) return raw;
    heap.resize(kStoredChunkRawLength);
    return heap.data();
}

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
    storeThread_ = std::thread(&ServerChunker::StoreThreadMain, this);
}

ServerChunker::~ServerChunker()
{
    Stop();  // no worker may run on a half-destroyed object; stores what is queued
    {
        std::lock_guard<std::mutex> lock(storeMutex_);
        storeStopping_ = true;
    }
    storeWake_.notify_all();
    storeDone_.notify_all();
    if (storeThread_.joinable()) storeThread_.join();
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

bool ServerChunker::EditScope::Store(const TouchedSet& touched, StoreMode mode, Net::Guid sender)
{
    HoldCells();
    const uint64_t queued = chunker_.QueueStoreLocked(std::vector<Chunk*>(touched.begin(), touched.end()), mode,
                                                      true, false, sender, nullptr);
    ReleaseCells();
    return queued != 0;
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

// ------------------------------------------------------------- store queue

uint64_t ServerChunker::QueueStoreLocked(const std::vector<Chunk*>& chunks, StoreMode mode, bool show, bool retry,
                                         Net::Guid sender, TouchedSet* stored, bool evenWhenClosed)
{
    // The store closes under storeMutex_ and the octree mutex is held here,
    // so a job either is queued before the close (and Stop waits for it) or
    // is refused.
    if (!evenWhenClosed && !IsStoreOpen()) return 0;
    StoreJob job;
    job.chunks = chunks;
    job.coordinates.reserve(chunks.size());
    job.cells.resize(chunks.size() * kSerializedChunkBytes);
    for (size_t i = 0; i < chunks.size(); ++i) {
        job.coordinates.push_back(chunks[i]->Coordinates());
        chunks[i]->SerializeCells(job.cells.data() + i * kSerializedChunkBytes);
    }
    job.mode = mode;
    job.show = show;
    job.retry = retry;
    job.counted = sender != Net::UNASSIGNED_GUID;
    job.peer = sender.g;
    job.stored = stored;
    // Queued, a chunk stays resident until its copy is handled.
    for (Chunk* chunk : chunks) ++unstored_[chunk].queued;
    unstoredCount_.store(unstored_.size());
    size_t failed = 0;
    for (const auto& [chunk, state] : unstored_) failed += state.failed && state.queued == 0;
    failedCount_.store(failed);

    const size_t weight = std::max<size_t>(chunks.size(), 1);
    uint64_t number = 0;
    {
        std::lock_guard<std::mutex> lock(storeMutex_);
        // WorkerStopped closes the store under the octree mutex as well, so
        // it is still open here.
        number = job.number = ++lastQueued_;
        queuedChunks_ += weight;
        if (job.counted) queuedChunksOfPeer_[job.peer] += weight;
        storeQueue_.push_back(std::move(job));
    }
    storeWake_.notify_one();
    return number;
}

uint64_t ServerChunker::QueueUnstoredLocked(bool show, TouchedSet* stored, bool evenWhenClosed)
{
    std::vector<Chunk*> failed;
    for (const auto& [chunk, state] : unstored_)
        if (state.failed && state.queued == 0) failed.push_back(chunk);
    if (failed.empty()) return 0;
    std::sort(failed.begin(), failed.end());  // the order of a set of them
    return QueueStoreLocked(failed, StoreMode::AllOrNothing, show, true, Net::UNASSIGNED_GUID, stored,
                            evenWhenClosed);
}

bool ServerChunker::HasStoreRoom(Net::Guid sender)
{
    std::lock_guard<std::mutex> lock(storeMutex_);
    const auto it = queuedChunksOfPeer_.find(sender.g);
    return it == queuedChunksOfPeer_.end() || it->second < kMaxQueuedChunksPerPeer;
}

void ServerChunker::WaitForStoreRoom()
{
    std::unique_lock<std::mutex> lock(storeMutex_);
    storeDone_.wait(lock, [this] { return queuedChunks_ < kMaxQueuedChunks || storeStopping_ || storeClosed_; });
}

bool ServerChunker::IsStoreOpen()
{
    std::lock_guard<std::mutex> lock(storeMutex_);
    return !storeClosed_;
}

void ServerChunker::AwaitStore(uint64_t number)
{
    std::unique_lock<std::mutex> lock(storeMutex_);
    storeDone_.wait(lock, [this, number] { return lastHandled_ >= number; });
}

void ServerChunker::AwaitStores()
{
    uint64_t last = 0;
    {
        std::lock_guard<std::mutex> lock(storeMutex_);
        last = lastQueued_;
    }
    AwaitStore(last);
}

TouchedSet ServerChunker::SaveChunks(const TouchedSet& chunks, StoreMode mode)
{
    if (chunks.empty()) return {};
    TouchedSet stored;
    uint64_t number = 0;
    {
        std::lock_guard<std::mutex> cells(octreeMutex);
        number = QueueStoreLocked(std::vector<Chunk*>(chunks.begin(), chunks.end()), mode, false, false,
                                  Net::UNASSIGNED_GUID, &stored);
    }
    AwaitStore(number);
    return stored;
}

bool ServerChunker::StoreUnstoredChunks(bool broadcast) { return StoreUnstored(broadcast, false); }

bool ServerChunker::StoreUnstored(bool broadcast, bool evenWhenClosed)
{
    if (unstoredCount_.load() == 0) return true;
    {
        std::lock_guard<std::mutex> cells(octreeMutex);
        QueueUnstoredLocked(broadcast, nullptr, evenWhenClosed);
    }
    AwaitStores();
    return unstoredCount_.load() == 0;
}

void ServerChunker::RetryUnstoredWhenDue()
{
    if (failedCount_.load() == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < nextStoreRetry_) return;
    {
        std::lock_guard<std::mutex> cells(octreeMutex);
        QueueUnstoredLocked(true, nullptr);
    }
    // The first retry comes on the next step; while the disk keeps failing,
    // the pause doubles up to half a minute.
    const uint32_t failures = failedRetries_.load();
    const auto delay = failures == 0 ? std::chrono::milliseconds(0)
                                     : std::min<std::chrono::milliseconds>(
                                           std::chrono::milliseconds(30000),
                                           std::chrono::milliseconds(250) * (1u << std::min<uint32_t>(failures - 1, 7)));
    nextStoreRetry_ = now + delay;
}

void ServerChunker::Starting()
{
    std::lock_guard<std::mutex> lock(storeMutex_);
    storeClosed_ = false;
}

std::unique_lock<std::mutex> ServerChunker::HoldEditsOff() { return std::unique_lock<std::mutex>(residencyMutex_); }

void ServerChunker::WorkerStopped(bool workerEnded)
{
    // No edit is stored from here on; everything queued before is stored (or
    // reported) before the chunks go.
    {
        std::lock_guard<std::mutex> cells(octreeMutex);
        std::lock_guard<std::mutex> lock(storeMutex_);
        storeClosed_ = true;
    }
    storeDone_.notify_all();  // an import waiting for room goes on, and is refused
    AwaitStores();
    // What failed before is tried once more; nothing of it is shown, the
    // peers are about to be disconnected.
    const bool all = StoreUnstored(false, true);
    lostAtStop_.store(all ? 0 : unstoredCount_.load());
    if (!all) {
        PrintConsoleLine(std::to_string(unstoredCount_.load()) +
                  " chunk(s) could not be stored before the world was unloaded; their latest changes are lost");
    }
    if (!workerEnded) return;  // the worker may still walk its lists
    std::lock_guard<std::mutex> cells(octreeMutex);
    unstored_.clear();
    unstoredCount_.store(0);
    failedCount_.store(0);
    failedRetries_.store(0);
    loaded_.clear();
    loadedCount_.store(0);
    nextStoreRetry_ = {};
}

// ------------------------------------------------------------ store thread

void ServerChunker::StoreThreadMain()
{
    std::vector<StoreJob> batch;
    std::unique_lock<std::mutex> lock(storeMutex_);
    for (;;) {
        storeWake_.wait(lock, [this] { return storeStopping_ || !storeQueue_.empty(); });
        if (storeQueue_.empty()) return;  // stopping, and everything is stored
        // Everything queued goes into one transaction.
        batch.assign(std::make_move_iterator(storeQueue_.begin()), std::make_move_iterator(storeQueue_.end()));
        storeQueue_.clear();
        lock.unlock();
        StoreBatch(batch);
        lock.lock();
        for (const StoreJob& job : batch) {
            const size_t weight = std::max<size_t>(job.chunks.size(), 1);
            queuedChunks_ -= weight;
            if (!job.counted) continue;
            auto it = queuedChunksOfPeer_.find(job.peer);
            if (it != queuedChunksOfPeer_.end() && (it->second -= weight) == 0) queuedChunksOfPeer_.erase(it);
        }
        lastHandled_ = batch.back().number;
        batch.clear();
        storeDone_.notify_all();
    }
}

void ServerChunker::StoreBatch(std::vector<StoreJob>& batch)
{
    // The statements are made before the transaction begins, in a room of
    // this thread's own.
    std::vector<std::vector<SqlBuffer>> statements(batch.size());
    std::vector<StoreGroup> groups(batch.size());
    size_t rows = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        const StoreJob& job = batch[i];
        StoreGroup& group = groups[i];
        statements[i].resize(job.chunks.size());
        group.statements = &statements[i];
        group.mode = job.mode;
        try {
            for (; group.ready < job.chunks.size(); ++group.ready) {
                const Vector3i& c = job.coordinates[group.ready];
                FormatChunkRowStatement(statements[i][group.ready], c.x, c.y, c.z,
                                        job.cells.data() + group.ready * kSerializedChunkBytes, kSerializedChunkBytes,
                                        storeRoom_);
            }
        } catch (const SqlException& e) {
            group.error = e.ErrorMessage();
        } catch (const std::exception& e) {
            group.error = e.what();
        }
        rows += job.chunks.size();
    }
    if (rows > 0) storeTransactions_.fetch_add(1);
    const std::vector<StoredRows> results = StoreGroups(database_, groups, &connectionMutex_);

    // What is stored now, and what is not, in the order of the edits.
    std::vector<std::string> lines;
    bool anyFailed = false;
    {
        std::lock_guard<std::mutex> cells(octreeMutex);
        for (size_t i = 0; i < batch.size(); ++i) {
            const StoreJob& job = batch[i];
            for (size_t k = 0; k < job.chunks.size(); ++k) {
                Chunk* chunk = job.chunks[k];
                const Vector3i& c = job.coordinates[k];
                const auto it = unstored_.find(chunk);
                if (it == unstored_.end()) continue;
                Unstored& state = it->second;
                if (state.queued > 0) --state.queued;
                if (k < results[i].count) {
                    if (state.failed)
                        lines.push_back("Stored chunk " + LocationKey(c.x, c.y, c.z) +
                                        " (its earlier store had failed)");
                    state.failed = false;
                } else {
                    state.failed = true;
                    lines.push_back("Cannot store chunk " + LocationKey(c.x, c.y, c.z) + ": " +
                                    results[i].error + " (kept in memory, stored again later)");
                }
                if (state.queued == 0 && !state.failed) unstored_.erase(it);
            }
        }
        size_t failed = 0;
        for (const auto& [chunk, state] : unstored_) {
            anyFailed = anyFailed || state.failed;
            failed += state.failed && state.queued == 0;
        }
        unstoredCount_.store(unstored_.size());
        failedCount_.store(failed);
    }
    for (const std::string& line : lines) PrintConsoleLine(line);
    for (size_t i = 0; i < batch.size(); ++i) {
        if (!batch[i].retry) continue;
        if (results[i].count == batch[i].chunks.size())
            failedRetries_.store(0);
        else
            failedRetries_.fetch_add(1);
    }
    if (!anyFailed) failedRetries_.store(0);

    for (size_t i = 0; i < batch.size(); ++i) {
        StoreJob& job = batch[i];
        const size_t stored = results[i].count;
        if (job.stored) job.stored->insert(job.chunks.begin(), job.chunks.begin() + static_cast<std::ptrdiff_t>(stored));
        if (!job.show || !host_) continue;
        // Exactly the copies that were stored, whatever the chunks hold now.
        Net::BitStream body;
        for (size_t k = 0; k < stored; ++k) {
            const Vector3i& c = job.coordinates[k];
            body.Write(c.x);
            body.Write(c.y);
            body.Write(c.z);
            body.WriteBytes(job.cells.data() + k * kSerializedChunkBytes, kSerializedChunkBytes);
        }
        host_->SendChunkEntries(static_cast<uint32_t>(stored), body,
                                Net::AddressOrGuid(Net::UNASSIGNED_GUID, Net::UNASSIGNED_SYSTEM_ADDRESS),
                                Net::HIGH_PRIORITY, true);
    }
}

void ServerChunker::CloseDatabase()
{
    std::lock_guard<std::mutex> connection(connectionMutex_);
    if (database_.IsOpen()) database_.Close();
}

Chunk* ServerChunker::LoadChunkFromDb(int32_t cx, int32_t cy, int32_t cz, bool& failed)
{
    ChunkRowStatus status = ChunkRowStatus::Failed;
    std::string error;
    Chunk* chunk = nullptr;
    {
        // One query under the connection's mutex: the store thread's
        // statements wait for it, and it for at most one of theirs. A query
        // between them sees that transaction's rows, but only of chunks that
        // stay resident until it ends (their changes are unstored), which
        // are never loaded.
        std::unique_lock<std::mutex> store(connectionMutex_);
        ScratchBufferLock rawLock(ScratchBuffer::Decompress);
        std::vector<unsigned char> heap;
        unsigned char* raw = RawChunkRoom(rawLock, heap);
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
    unsigned char* raw = RawChunkRoom(rawLock, heap);
    std::string error;
    if (!InflateChunkFrame(framed, m, kStoredChunkRawLength, raw, error)) return false;
    in.IgnoreBytes(m);
    out.WriteBytes(raw, kStoredChunkRawLength);
    return true;
}

}  // namespace Tav
