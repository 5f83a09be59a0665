#include "world/ServerChunker.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <exception>
#include <limits>
#include <thread>

#include "core/ConsoleOutput.h"
#include "world/BigEndian.h"
#include "world/BrickCatalogue.h"
#include "world/ChunkMessage.h"
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

// The non-empty cells of a serialised cell form.
uint32_t CountNonEmptyCells(const unsigned char* cells)
{
    uint32_t n = 0;
    for (size_t i = 0; i < kSerializedChunkBytes; i += 3) n += (cells[i] | cells[i + 1]) != 0;
    return n;
}

// The time now in UTC, "YYYY-MM-DD HH:MM:SS.ffffff".
std::string UtcNowText()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() % 1000000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%06lld", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<long long>(micros));
    return text;
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
    OpenChunkStore(database_, databaseFile);
    databaseFile_ = databaseFile;
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

// The room of the answer room that a request's answer holds.
size_t RoomOf(const ChunkRequest& request)
{
    return std::max<size_t>(ServedCoordinates(request), 1);
}

bool IsSmall(size_t room)
{
    return room <= ServerChunker::kSmallRequestCoordinates;
}

// How much room may be held in all once an answer of that room has taken it.
size_t RoomLimit(size_t room)
{
    return ServerChunker::kAnswerRoom + (IsSmall(room) ? ServerChunker::kSmallRequestRoom : 0);
}

}  // namespace

bool ServerChunker::QueueChunkRequest(const ChunkRequest& request)
{
    const uint64_t peer = request.target.guid.g;
    const size_t n = ServedCoordinates(request);
    QueuedRequest copy{request, 0};  // made before the lock is taken
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
    copy.serial = ++lastRequestSerial_;
    it->second.requests.push_back(std::move(copy));
    it->second.coordinates += n;
    queuedCoordinates_ += n;
    return true;
}

void ServerChunker::DropChunkRequests(Net::Guid peer)
{
    std::list<QueuedRequest> dropped;  // freed after the lock is released
    std::lock_guard<std::mutex> lock(chunkRequestMutex_);
    // The worker drops what it has begun for this peer's requests so far.
    departures_.emplace_back(peer.g, lastRequestSerial_);
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
    const StepEnd end = ServeTurns();
    RetryUnstoredWhenDue();
    std::this_thread::yield();
    switch (end) {
    case StepEnd::Budget:
        break;  // work is waiting: the next step at once
    case StepEnd::Blocked: {
        // What is left waits for the sending thread: until it has sent an
        // answer, or 16 ms.
        std::unique_lock<std::mutex> lock(sendMutex_);
        sendDone_.wait_for(lock, std::chrono::milliseconds(16), [this] { return !sendFinished_.empty(); });
        break;
    }
    case StepEnd::Idle:
    case StepEnd::Stopped:
        std::this_thread::sleep_for(std::chrono::microseconds(16000));
        break;
    }
}

bool ServerChunker::ProcessQueues()
{
    const StepEnd end = ServeTurns();
    return end == StepEnd::Budget || end == StepEnd::Blocked;
}

ServerChunker::StepEnd ServerChunker::ServeTurns()
{
    int64_t spent = 0;
    for (;;) {
        if (!running.load()) return StepEnd::Stopped;
        TakeDepartures();
        if (TakeBackSent()) EvictChunks();  // what they held may go now
        ServeSpawns();
        if (spent >= kStepBudget) return StepEnd::Budget;
        if (!TakeTurn(spent)) break;
        EvictChunks();  // between turns: what answers hold is pinned
    }
    // No peer may take a turn: nothing is queued, or what is waits for room
    // that answers at the sending thread hold.
    bool sending = false;
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        sending = !sendWaiting_.empty() || sending_ != 0 || !sendFinished_.empty();
    }
    return sending || HasQueuedRequests() ? StepEnd::Blocked : StepEnd::Idle;
}

bool ServerChunker::HasQueuedRequests()
{
    std::lock_guard<std::mutex> lock(chunkRequestMutex_);
    return !chunkRequests_.empty();
}

bool ServerChunker::TakeTurn(int64_t& spent)
{
    uint64_t peer = 0;
    {
        std::lock_guard<std::mutex> lock(chunkRequestMutex_);
        const auto turn = std::find_if(turns_.begin(), turns_.end(), [this](uint64_t p) {
            const auto it = peerTurns_.find(p);
            return it == peerTurns_.end() || !it->second.answer || !it->second.answer->waitingForRoom;
        });
        if (turn == turns_.end()) return false;
        peer = *turn;
        turns_.splice(turns_.end(), turns_, turn);  // its next turn after everyone else's
    }
    PeerTurns& turns = peerTurns_[peer];
    // A debt is paid off a quantum a turn; credit is not saved up.
    turns.credit = std::min(turns.credit + kTurnQuantum, kTurnQuantum);
    while (turns.credit > 0 && AnswerChunkRequest(peer, turns, spent) && FinishAnswer(peer, turns, spent)) {
    }
    // An answer that stays open over turns holds room for its request.
    if (turns.answer && !turns.answer->waitingForRoom && turns.answer->room == 0 && !TryTakeRoom(*turns.answer))
        WaitForRoom(*turns.answer);
    if (!turns.answer) {
        std::lock_guard<std::mutex> lock(chunkRequestMutex_);
        if (chunkRequests_.count(peer) == 0) peerTurns_.erase(peer);  // done: its debt is forgotten
    }
    return true;
}

bool ServerChunker::AnswerChunkRequest(uint64_t peer, PeerTurns& turns, int64_t& spent)
{
    if (!turns.answer) {
        // The peer's first queued request.
        std::lock_guard<std::mutex> lock(chunkRequestMutex_);
        const auto it = chunkRequests_.find(peer);
        if (it == chunkRequests_.end() || it->second.requests.empty()) return false;
        turns.answer.emplace();
        turns.answer->serial = it->second.requests.front().serial;
        turns.answer->request = it->second.requests.front().request;
    }
    Answer& answer = *turns.answer;
    const size_t n = ServedCoordinates(answer.request);
    while (answer.next < n) {
        if (turns.credit <= 0) return false;
        const Vector3i& c = answer.request.coordinates[answer.next++];
        int64_t cost = kLookupCost;
        Chunk* chunk = nullptr;
        bool nonEmpty = false;
        if (IsInWorld(c.x, c.y, c.z)) {
            {
                std::lock_guard<std::mutex> lock(octreeMutex);
                chunk = root ? root->Find(c.x, c.y, c.z) : nullptr;
                nonEmpty = chunk && ShowsAnyCellLocked(*chunk);
            }
            if (!chunk && !answer.databaseFailed) {
                cost += kMakeResidentCost;
                chunk = Acquire(c.x, c.y, c.z, answer.databaseFailed);
                if (chunk) {
                    std::lock_guard<std::mutex> lock(octreeMutex);
                    nonEmpty = ShowsAnyCellLocked(*chunk);
                }
            }
            if (!chunk && answer.databaseFailed) ++answer.leftOut;
        }
        // Empty chunks are never sent; a chunk named twice is sent once.
        if (nonEmpty && answer.chunks.insert(chunk).second) ++pinned_[chunk];
        turns.credit -= cost;
        spent += cost;
    }
    return true;
}

bool ServerChunker::FinishAnswer(uint64_t peer, PeerTurns& turns, int64_t& spent)
{
    Answer& answer = *turns.answer;
    const bool byWorker = answer.chunks.size() <= kMaxInlineAnswerChunks || !host_;
    if (!byWorker && answer.room == 0 && !TryTakeRoom(answer)) {
        WaitForRoom(answer);
        return false;
    }
    // The request leaves the queue now, unless its peer has left meanwhile.
    bool current = false;
    {
        std::lock_guard<std::mutex> lock(chunkRequestMutex_);
        const auto it = chunkRequests_.find(peer);
        if (it != chunkRequests_.end() && !it->second.requests.empty() &&
            it->second.requests.front().serial == answer.serial) {
            current = true;
            const size_t n = ServedCoordinates(answer.request);
            it->second.coordinates -= n;
            queuedCoordinates_ -= n;
            it->second.requests.pop_front();
            if (it->second.requests.empty()) {
                chunkRequests_.erase(it);
                turns_.remove(peer);
            }
        }
    }
    turns.credit -= kLookupCost;  // every request costs something, one of nothing too
    spent += kLookupCost;
    if (current && answer.leftOut > 1)
        PrintConsoleLine(std::to_string(answer.leftOut) +
                         " chunks were left out of an answer because world.db could not be read");
    if (!current || answer.chunks.empty() || byWorker) {
        if (current && !answer.chunks.empty()) {
            if (host_) host_->SendChunks(answer.chunks, answer.request.target, answer.request.priority,
                                         answer.request.broadcast);
            const int64_t cost = kSendCostPerChunk * static_cast<int64_t>(answer.chunks.size());
            turns.credit -= cost;
            spent += cost;
        }
        DropAnswer(answer);
    } else {
        Outgoing out;
        out.peer = peer;
        out.serial = answer.serial;
        out.chunks.swap(answer.chunks);  // still pinned, until taken back
        out.target = answer.request.target;
        out.priority = answer.request.priority;
        out.broadcast = answer.request.broadcast;
        out.room = answer.room;
        {
            std::lock_guard<std::mutex> lock(sendMutex_);
            if (!sendThread_.joinable()) sendThread_ = std::thread(&ServerChunker::SendThreadMain, this);
            sendWaiting_.push_back(std::move(out));
        }
        sendWake_.notify_one();
    }
    turns.answer.reset();
    return true;
}

bool ServerChunker::TryTakeRoom(Answer& answer)
{
    const size_t n = RoomOf(answer.request);
    // A large one waits behind those that wait already.
    if ((waitingForRoom_ > 0 && !IsSmall(n)) || roomHeld_ + n > RoomLimit(n)) return false;
    roomHeld_ += n;
    answer.room = n;
    return true;
}

void ServerChunker::WaitForRoom(Answer& answer)
{
    // What it has collected may be evicted meanwhile; it starts again when
    // it has room.
    Unpin(answer.chunks);
    answer.chunks.clear();
    answer.next = 0;
    answer.leftOut = 0;
    answer.databaseFailed = false;
    answer.waitingForRoom = true;
    ++waitingForRoom_;
}

void ServerChunker::GrantRoom()
{
    while (waitingForRoom_ > 0) {
        Answer* smallest = nullptr;
        for (auto& entry : peerTurns_) {
            Answer* a = entry.second.answer ? &*entry.second.answer : nullptr;
            if (!a || !a->waitingForRoom) continue;
            const size_t n = RoomOf(a->request);
            if (!smallest || n < RoomOf(smallest->request) ||
                (n == RoomOf(smallest->request) && a->serial < smallest->serial))
                smallest = a;
        }
        if (!smallest) {
            waitingForRoom_ = 0;
            return;
        }
        const size_t n = RoomOf(smallest->request);
        if (roomHeld_ + n > RoomLimit(n)) return;
        roomHeld_ += n;
        smallest->room = n;
        smallest->waitingForRoom = false;
        --waitingForRoom_;
    }
}

void ServerChunker::DropAnswer(Answer& answer)
{
    Unpin(answer.chunks);
    answer.chunks.clear();
    roomHeld_ -= answer.room;
    answer.room = 0;
    if (answer.waitingForRoom) --waitingForRoom_;
    answer.waitingForRoom = false;
}

void ServerChunker::Unpin(const TouchedSet& chunks)
{
    for (Chunk* chunk : chunks) {
        const auto it = pinned_.find(chunk);
        if (it != pinned_.end() && --it->second == 0) pinned_.erase(it);
    }
}

void ServerChunker::TakeDepartures()
{
    std::vector<std::pair<uint64_t, uint64_t>> departed;
    {
        std::lock_guard<std::mutex> lock(chunkRequestMutex_);
        if (departures_.empty()) return;
        departed.swap(departures_);
    }
    // Requests queued after a departure (the peer came back with the same
    // GUID) are not touched.
    auto left = [&departed](uint64_t peer, uint64_t serial) {
        for (const auto& d : departed)
            if (d.first == peer && serial <= d.second) return true;
        return false;
    };
    for (const auto& d : departed) {
        const auto it = peerTurns_.find(d.first);
        if (it == peerTurns_.end()) continue;
        if (it->second.answer && left(d.first, it->second.answer->serial)) {
            DropAnswer(*it->second.answer);
            it->second.answer.reset();
        }
        if (!it->second.answer) peerTurns_.erase(it);
    }
    std::lock_guard<std::mutex> lock(sendMutex_);
    for (auto it = sendWaiting_.begin(); it != sendWaiting_.end();) {
        if (left(it->peer, it->serial)) {
            sendFinished_.push_back(std::move(*it));  // unsent
            it = sendWaiting_.erase(it);
        } else {
            ++it;
        }
    }
}

bool ServerChunker::TakeBackSent()
{
    std::vector<Outgoing> finished;
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        finished.swap(sendFinished_);
    }
    for (const Outgoing& out : finished) {
        Unpin(out.chunks);
        roomHeld_ -= out.room;
    }
    GrantRoom();
    return !finished.empty();
}

void ServerChunker::SendThreadMain()
{
    std::unique_lock<std::mutex> lock(sendMutex_);
    for (;;) {
        sendWake_.wait(lock, [this] { return sendStopping_ || !sendWaiting_.empty(); });
        if (sendStopping_) return;
        // The fewest chunks first (the first handed over among equals).
        const auto next = std::min_element(sendWaiting_.begin(), sendWaiting_.end(),
                                           [](const Outgoing& a, const Outgoing& b) {
                                               return a.chunks.size() != b.chunks.size()
                                                          ? a.chunks.size() < b.chunks.size()
                                                          : a.serial < b.serial;
                                           });
        Outgoing out = std::move(*next);
        sendWaiting_.erase(next);
        sending_ = 1;
        lock.unlock();
        if (host_) host_->SendChunks(out.chunks, out.target, out.priority, out.broadcast);
        lock.lock();
        sending_ = 0;
        sendFinished_.push_back(std::move(out));
        sendDone_.notify_all();
    }
}

void ServerChunker::StopSending()
{
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        sendStopping_ = true;
    }
    sendWake_.notify_all();
    if (sendThread_.joinable()) sendThread_.join();
    std::lock_guard<std::mutex> lock(sendMutex_);
    sendWaiting_.clear();
    sendFinished_.clear();
    sendStopping_ = false;
}

void ServerChunker::WorkerLeaving()
{
    StopSending();
    // The chunks go with the tree next; the requests stay queued and are
    // answered afresh after a new start.
    peerTurns_.clear();
    pinned_.clear();
    roomHeld_ = 0;
    waitingForRoom_ = 0;
}

void ServerChunker::ServeSpawns()
{
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
            if (!isFar(*chunk) || unstored_.count(chunk) != 0 || shown_.count(chunk) != 0 ||
                pinned_.count(chunk) != 0) {
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

// ------------------------------------------------------- what is shown

void ServerChunker::CellsChanging(Chunk& chunk)
{
    auto [it, first] = shown_.try_emplace(&chunk);
    if (first) {
        // Nothing of it is unstored: the cells as they are now are on disk
        // (or, for a chunk without a row, are what loading it gives).
        it->second.cells.resize(kSerializedChunkBytes);
        chunk.SerializeCells(it->second.cells.data());
        it->second.nonEmpty = chunk.nonEmptyCount;
    }
    it->second.changed = true;
}

uint32_t ServerChunker::AppendShownEntries(const TouchedSet& chunks, Net::BitStream& body, uint64_t* shownAt)
{
    uint32_t count = 0;
    std::lock_guard<std::mutex> cells(octreeMutex);
    if (shownAt) *shownAt = showSerial_;
    for (const Chunk* chunk : chunks) {
        const auto shown = shown_.find(const_cast<Chunk*>(chunk));
        if (shown == shown_.end()) {
            if (chunk->nonEmptyCount == 0) continue;
            AppendChunkEntry(*chunk, body);
        } else {
            if (shown->second.nonEmpty == 0) continue;
            body.Write(chunk->cx);
            body.Write(chunk->cy);
            body.Write(chunk->cz);
            body.WriteBytes(shown->second.cells.data(), kSerializedChunkBytes);
        }
        ++count;
    }
    return count;
}

void ServerChunker::SendShownChunks(const TouchedSet& chunks, const std::function<void(const Net::BitStream&)>& send)
{
    // Compressing hundreds of chunks takes long, so the message is first
    // built outside the show order, which every broadcast waits for. If a
    // store has changed what one of its chunks shows since, that store's
    // broadcast may be out already: the message is built again, this time
    // under the order, so that no newer broadcast can pass it.
    for (bool holding = false;; holding = true) {
        std::unique_lock<std::mutex> order(showOrderMutex_, std::defer_lock);
        if (holding) order.lock();
        Net::BitStream body;
        uint64_t shownAt = 0;
        const uint32_t count = AppendShownEntries(chunks, body, &shownAt);
        if (count == 0) return;
        Net::BitStream message;
        WriteChunkDataMessage(count, body, message);
        if (!holding) {
            order.lock();
            std::unique_lock<std::mutex> cells(octreeMutex);
            const bool changed = std::any_of(chunks.begin(), chunks.end(),
                                             [shownAt](const Chunk* chunk) { return chunk->shownSerial > shownAt; });
            cells.unlock();
            if (changed) continue;
        }
        send(message);
        return;
    }
}

bool ServerChunker::ShowsAnyCellLocked(const Chunk& chunk) const
{
    const auto shown = shown_.find(const_cast<Chunk*>(&chunk));
    return (shown == shown_.end() ? chunk.nonEmptyCount : shown->second.nonEmpty) != 0;
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
        // This copy holds every change made so far.
        const auto shown = shown_.find(chunks[i]);
        if (shown != shown_.end()) shown->second.changed = false;
    }
    if (!damagedRows_.empty()) {
        job.damagedFound.resize(chunks.size());
        for (size_t i = 0; i < chunks.size(); ++i) {
            const auto damaged = damagedRows_.find(LocationKey(chunks[i]->cx, chunks[i]->cy, chunks[i]->cz));
            if (damaged != damagedRows_.end()) job.damagedFound[i] = damaged->second;
        }
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
    shown_.clear();
    damagedRows_.clear();
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
    std::vector<std::vector<std::string>> before(batch.size());
    std::vector<StoreGroup> groups(batch.size());
    size_t rows = 0;
    for (size_t i = 0; i < batch.size(); ++i) {
        const StoreJob& job = batch[i];
        StoreGroup& group = groups[i];
        statements[i].resize(job.chunks.size());
        group.statements = &statements[i];
        group.mode = job.mode;
        if (!job.damagedFound.empty()) {
            before[i].resize(job.chunks.size());
            group.before = &before[i];
        }
        try {
            for (; group.ready < job.chunks.size(); ++group.ready) {
                const Vector3i& c = job.coordinates[group.ready];
                // A damaged row is kept before its chunk's row replaces it.
                if (!job.damagedFound.empty() && !job.damagedFound[group.ready].empty())
                    before[i][group.ready] = FormatKeepDamagedRow(c.x, c.y, c.z, job.damagedFound[group.ready]);
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
                const auto shown = shown_.find(chunk);
                if (k < results[i].count) {
                    if (state.failed)
                        lines.push_back("Stored chunk " + LocationKey(c.x, c.y, c.z) +
                                        " (its earlier store had failed)");
                    state.failed = false;
                    // What is on disk now, and so what answers show.
                    if (shown != shown_.end()) {
                        const unsigned char* copy = job.cells.data() + k * kSerializedChunkBytes;
                        shown->second.cells.assign(copy, copy + kSerializedChunkBytes);
                        shown->second.nonEmpty = CountNonEmptyCells(copy);
                        chunk->shownSerial = ++showSerial_;
                    }
                    if (!job.damagedFound.empty() && !job.damagedFound[k].empty()) {
                        const auto damaged = damagedRows_.find(LocationKey(c.x, c.y, c.z));
                        if (damaged != damagedRows_.end() && damaged->second == job.damagedFound[k]) {
                            damagedRows_.erase(damaged);
                            lines.push_back("The damaged row of chunk " + LocationKey(c.x, c.y, c.z) +
                                            " was kept in the table " + kDamagedRowsTable + " of " + databaseFile_ +
                                            " before the chunk was stored afresh");
                        }
                    }
                } else {
                    state.failed = true;
                    lines.push_back("Cannot store chunk " + LocationKey(c.x, c.y, c.z) + ": " +
                                    results[i].error + " (kept in memory, stored again later)");
                }
                if (state.queued == 0 && !state.failed) {
                    unstored_.erase(it);
                    // Stored as it is now: answers show the chunk itself again.
                    if (shown != shown_.end() && !shown->second.changed) shown_.erase(shown);
                }
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

    // In the show order: an answer built before these commits cannot be
    // sent after their broadcasts (SendShownChunks).
    std::lock_guard<std::mutex> order(showOrderMutex_);
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
    case ChunkRowStatus::Damaged: {
        // The row was read and cannot be used: the chunk is generated for
        // this run, and its row stays as it is until an edit stores the
        // chunk, which first moves the row to the table of damaged rows.
        {
            std::lock_guard<std::mutex> cells(octreeMutex);
            damagedRows_.emplace(LocationKey(cx, cy, cz), UtcNowText());
        }
        ReportStoreError("Cannot load", cx, cy, cz,
                         error + " (a damaged row: the chunk is generated instead; the row is kept in the table " +
                             kDamagedRowsTable + " when the chunk is next stored)");
        return nullptr;
    }
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
