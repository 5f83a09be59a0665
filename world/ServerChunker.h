#pragma once
// The server's chunk manager: queues of chunk and spawn requests filled by the
// network thread and answered by the chunk worker, lookup / load / generation
// of chunks, eviction of chunks far from the players, and the chunk store in
// the database.
//
// Its locks (their place among the program's others: core/LockOrder.h):
//   residency   held by an edit from its first lookup to its last use of the
//               chunk pointers it collected (EditScope), and by eviction;
//   connection  the database connection, for one statement at a time: a
//               load's query, or one statement of the store thread's
//               transaction (so a load waits for at most one statement);
//   octree      (BaseChunker) the tree and the cells, and the chunks whose
//               latest change is not stored;
//   queues      the two request queues, the store queue and the queue of
//               the answer-sending thread, leaves.
//
// What is stored when. An edit changes the cells in memory and queues a copy
// of every chunk that it touched (their cell forms as the edit left them)
// for the store thread, without waiting for the disk. The store thread takes
// everything queued, writes it in one transaction with one commit (each
// edit's chunks all or nothing, as its mode says), and only then sends each
// edit's stored copies to every peer, in the order the edits were made: a
// client sees an edit only once its rows are committed, and never a later
// state of a chunk than the one on disk. Chunks with a queued or failed
// change are kept out of eviction. A chunk whose store failed keeps its
// change in memory; the worker queues it again on a later step (and it is
// stored at Stop), and it is sent to every peer once stored; the console
// shows the failure and the later success.
//
// What an answer shows. An answer to a chunk request (and anything else
// that shows a chunk to a client) shows each chunk as it was last stored:
// while a change of the chunk is not on disk (from its first changed cell
// until the store of its latest change has committed; also while that store
// keeps failing) the chunk manager keeps a copy of the cells from before
// that change, which each committed copy replaces and which goes once the
// chunk holds nothing unstored. So no client is shown a state that a kill
// can lose; a client learns of an edit from its broadcast. The copies cost
// one serialised cell form per chunk with an unstored change.
//
// Damaged rows. A row that cannot be decoded is not used (the chunk is
// generated for the run), and the store that first replaces it moves its
// bytes, in the same transaction, into the table mapdata_damaged of the
// database (see kDamagedRowsTable), and the console says so.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/Timer.h"
#include "math/Vector3.h"
#include "math/Vector3i.h"
#include "net/BitStream.h"
#include "net/Types.h"
#include "world/BaseChunker.h"
#include "world/Chunk.h"
#include "world/ChunkStoreCodec.h"
#include "world/IChunkHost.h"
#include "world/sql/SqlDatabase.h"

namespace Tav {

class PhysicsManager;
struct BrickShape;
struct DesignStampCount;
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
    // Each peer's share of the chunk-request queue: at most this many
    // requests (a request that names no coordinate counts too) and this many
    // coordinates (a request counts for the coordinates it is served for). A
    // request beyond its peer's share is dropped; other peers are not
    // affected.
    static constexpr size_t kMaxQueuedRequestsPerPeer = 64;
    static constexpr size_t kMaxQueuedCoordinatesPerPeer = 8 * kMaxCoordinatesPerRequest;

    // ---- How the worker shares its time between peers ----
    // The peers with queued requests take turns, in rotation. In its turn a
    // peer gets about kTurnQuantum units of work (a unit is about a
    // microsecond) on its requests, in their order: each coordinate looked
    // up costs kLookupCost, each chunk loaded or generated kMakeResidentCost
    // more, and an answer sent by the worker itself kSendCostPerChunk for
    // each of its chunks. A turn that overdraws its quantum (a costly step
    // is never split) leaves a debt that the peer pays off with the turns it
    // then skips. So a request that costs little is answered after at most
    // one turn of each other peer, whatever they have queued.
    //
    // An answer always holds the whole set that its request asks for, in one
    // message; it is built over as many turns as it takes (its chunks stay
    // resident meanwhile, see EvictChunks), and is sent once complete. An
    // answer of at most kMaxInlineAnswerChunks chunks is packed and sent by
    // the worker at once; a larger one goes to the sending thread, which
    // packs and sends such answers one at a time, the fewest chunks first,
    // so that compressing many megabytes never holds up the worker.
    //
    // Answers that are open over several turns, or waiting for the sending
    // thread, hold room for their requests' coordinates out of
    // kAnswerRoom. An answer that needs more turns when the room is taken
    // lets go of what it has collected and waits, and its peer's turns are
    // skipped, until room is freed (the smallest request first). Requests of
    // at most kSmallRequestCoordinates may also use kSmallRequestRoom beyond
    // it, and do not wait behind larger ones, so that a flood of large
    // requests leaves room for small ones.
    static constexpr int64_t kTurnQuantum = 1000;
    static constexpr int64_t kLookupCost = 1;
    static constexpr int64_t kMakeResidentCost = 250;
    static constexpr int64_t kSendCostPerChunk = 350;
    static constexpr size_t kMaxInlineAnswerChunks = 16;
    static constexpr size_t kAnswerRoom = 8 * kMaxCoordinatesPerRequest;
    static constexpr size_t kSmallRequestCoordinates = 128;
    static constexpr size_t kSmallRequestRoom = kMaxCoordinatesPerRequest;
    // A worker step serves turns until they have cost this much (about
    // 16 ms), then ends (script garbage and held items run once a step); the
    // next step follows at once while work is waiting, and 16 ms later when
    // there was none.
    static constexpr int64_t kStepBudget = 16000;
    // A bound on the whole queue, far beyond the shares of every peer that
    // the server accepts at once.
    static constexpr size_t kMaxQueuedCoordinates = 256 * kMaxQueuedCoordinatesPerPeer;

    // Opens the database and creates the chunk table when it does not exist;
    // a database that cannot be read and written raises ChunkStoreRefused
    // (see OpenChunkStore), whose text is the operator's line.
    // host receives the answers and spawns; it may be set later with SetHost,
    // before the worker starts.
    explicit ServerChunker(PhysicsManager* owner, IChunkHost* host = nullptr,
                           const std::string& databaseFile = "world.db",
                           uint32_t evictionLimit = kEvictionLimit);
    ~ServerChunker() override;

    ServerChunker(const ServerChunker&) = delete;
    ServerChunker& operator=(const ServerChunker&) = delete;

    // Sets the host before the worker starts (the chunk manager calls it
    // from the worker and the store thread).
    void SetHost(IChunkHost* host) { host_ = host; }

    // An edit of the loaded world from any thread: takes the residency mutex,
    // then the octree mutex, and offers the edit operations (see BaseChunker).
    // Chunk pointers that the edit collects stay valid until the scope ends.
    // Store queues the touched chunks for the store thread, which sends them
    // to every peer once they are stored. Between the two locks, and after
    // ReleaseCells or Store, the holder may take the locks that come between
    // them in the lock order (a player's, the registry's); an edit call after
    // ReleaseCells takes the cells again.
    class EditScope {
    public:
        explicit EditScope(ServerChunker& chunker);
        EditScope(const EditScope&) = delete;
        EditScope& operator=(const EditScope&) = delete;

        bool CanPlaceBrick(const BrickShape& shape, const Vector3i& anchor, const Vector3i& excludedMin,
                           const Vector3i& excludedMax, std::vector<PlacementEntry>* entries, bool requireSupport);
        bool PlaceBrick(const Vector3i& excludedMin, const Vector3i& excludedMax, const BrickShape& shape,
                        uint8_t colour, const Vector3i& anchor, TouchedSet* touched, bool requireSupport);
        BrickShape* RemoveBrickAt(const Vector3i& cell, TouchedSet* touched);
        void CollectShapeChunks(const BrickShape& shape, const Vector3i& anchor, TouchedSet& touched);
        bool IsBoxOccupied(const Vector3i& min, const Vector3i& max);
        // The loaded chunk holding a world cell (its cell is cells[index]),
        // or null; the cell may be read and written while the scope holds
        // the cells.
        Chunk* FindCell(const Vector3i& cell, int& index);

        // Lets go of the octree mutex; the chunks stay resident.
        void ReleaseCells();
        // Copies the touched chunks' cells as they are now and queues them
        // to be stored as mode says and then shown to every peer (one
        // chunk-data message with the chunks that were stored, also when
        // that is none), after every edit queued before; then ReleaseCells.
        // An edit of a client counts in that client's share of the queue
        // (sender); see HasStoreRoom. False when the store is closed (the
        // chunk manager has stopped): the change stays in memory only, and
        // nothing is shown.
        bool Store(const TouchedSet& touched, StoreMode mode, Net::Guid sender = Net::UNASSIGNED_GUID);

    private:
        void HoldCells();
        ServerChunker& chunker_;
        std::unique_lock<std::mutex> residency_;
        std::unique_lock<std::mutex> cells_;
    };

    // Network thread: queue a request for the worker, in the share of the
    // peer that its target names. False when the request was dropped because
    // that share is full.
    bool QueueChunkRequest(const ChunkRequest& request);
    // Network thread: forgets the queued chunk requests of a peer that left;
    // the worker drops the answers it has begun for them (at its next turn),
    // and those waiting for the sending thread, unsent.
    void DropChunkRequests(Net::Guid peer);
    void QueueSpawnRequest(SpawnRequest request);

    // One worker step: script garbage, held items, one step's turns (see
    // kStepBudget), then a pause of 16 ms unless work is waiting.
    void Update() override;

    // Worker only: one step's turns. Before each turn it serves every queued
    // spawn request (a new player never waits behind the answers), and it
    // ends at the next turn once the worker is being stopped. Eviction runs
    // between turns. True while anything is left to do: requests queued,
    // answers being built or being sent.
    bool ProcessQueues();

    // Worker only: the chunk at those coordinates, found, loaded or
    // generated. Null for coordinates outside the world, and when world.db
    // could not be read for it (busy, locked, an I/O error, not open): such
    // a chunk is not made resident at all, so that nothing generated can
    // take the place of its stored row; it is tried again when next asked
    // for. Only a row that was read and found damaged gives way to a
    // generated chunk.
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
    // player every chunk counts as far. A chunk whose latest change is not
    // stored is never evicted.
    //
    // It runs between turns, and never frees a chunk of an answer that is
    // being built or sent (those hold at most kAnswerRoom chunks in all): a
    // turn takes the count above the limit by a few chunks at most. While an
    // edit holds the residency mutex the pass is put off to the next turn,
    // but only until the count reaches the limit plus
    // kMaxCoordinatesPerRequest; from there it waits for the edit. So the
    // count stays below the limit plus kMaxCoordinatesPerRequest and a few,
    // apart from the chunks that may not go (near a player, with an unstored
    // change, or in an answer).
    void EvictChunks();

    // ---- The store ----
    // Every store goes through the store thread, one INSERT OR REPLACE per
    // chunk in the set's order (the rows are those that storing each by
    // itself would give), each set in a transaction that commits as its mode
    // says, several sets queued together in one transaction. Every chunk not
    // stored is reported on the console and kept as unstored (see above).

    // Each client's share of the store queue: once its queued edits hold
    // this many chunks (an edit that touched none counts as one), an edit
    // that arrives from it is not made (see HasStoreRoom) until the store
    // thread has caught up; other clients are not affected.
    static constexpr size_t kMaxQueuedChunksPerPeer = 32;
    // A design import waits, before it changes anything, while the queue
    // holds this many chunks or more (kept far above what all clients'
    // shares add up to, so that only a stalled disk makes an import wait).
    static constexpr size_t kMaxQueuedChunks = 8192;

    // Whether an edit of this client may be made now: its share of the store
    // queue is not full. Only the thread that makes the client's edits
    // queues them, so the answer holds until that thread's next edit.
    bool HasStoreRoom(Net::Guid sender);
    // Waits until the store queue holds fewer than kMaxQueuedChunks chunks,
    // or the store is closed. The caller holds no lock of the chunk manager.
    void WaitForStoreRoom();

    // The store is open from construction and from each Start, and closed by
    // Stop before it stores what is left: from then on every store is
    // refused (its chunks keep their change in memory only and are never
    // shown), so that nothing reaches the store thread, and through it the
    // host, once Stop has returned.
    bool IsStoreOpen();
    // Chunks whose latest change the last Stop could not store (0 when it
    // stored everything, or before any Stop).
    size_t ChunksLostAtStop() const { return lostAtStop_.load(); }

    // Stores the chunks as they are now and waits for it; nothing is shown.
    // Returns the chunks whose rows now hold the cells read here. The chunks
    // must be resident, and the caller holds no lock of the chunk manager.
    TouchedSet SaveChunks(const TouchedSet& chunks, StoreMode mode);
    // Waits until everything queued so far has been stored (or has failed)
    // and shown.
    void AwaitStores();

    // Stores every unstored chunk that is not queued already, in one
    // all-or-nothing transaction, and waits for it; with broadcast, sends
    // them to every peer once stored. True when none is left unstored.
    bool StoreUnstoredChunks(bool broadcast = true);
    // The number of chunks whose latest change is not stored (queued, or
    // failed and waiting for its retry).
    size_t UnstoredCount() const { return unstoredCount_.load(); }
    // Transactions the store thread has begun (a lone statement counts as
    // one).
    uint64_t StoreTransactions() const { return storeTransactions_.load(); }

    // ---- Design stamping and undo (world/DesignStamping.cpp) ----
    // Both change only chunks that are loaded (never loading or creating
    // one), through the caller's edit scope, add the chunks they change to
    // touched, and queue those chunks (EditScope::Store) to be stored as
    // storing them one by one would: up to a failing statement
    // (StoreMode::UpToFailure; the rest stay unstored and are stored later).
    // What was stored is then shown to every peer in one message.
    //
    // Places the design's bricks, in list order, with their anchors at
    // origin + the brick's cell: a brick that would cover an occupied cell
    // or the cell (0, 0, 0), or whose anchor lies below row 0, is left out.
    // Returns how many landed (in memory; their store follows).
    DesignStampCount PlaceDesignAndSave(EditScope& edit, TouchedSet& touched, const LxfmlDesign& design,
                                        Vector3i origin);
    // At each brick's anchor, removes the brick found there when that cell
    // is its origin cell and has the design brick's colour. Returns how many
    // bricks it removed.
    size_t RemoveDesignAndSave(EditScope& edit, TouchedSet& touched, const LxfmlDesign& design, Vector3i origin);
    // Bricks stamped or tested under one hold of the cells (the scope lets
    // go of them between holds): it bounds how long a design keeps the chunk
    // worker's lookups and player movement waiting.
    static constexpr size_t kDesignBricksPerHold = 256;

    // Worker only: the stored copy of a chunk, loaded and made resident, or
    // null when there is none to use: no row; a damaged row (reported, the
    // caller generates the chunk); or a database that could not be read
    // (reported, and failed is set).
    Chunk* LoadChunkFromDb(int32_t cx, int32_t cy, int32_t cz, bool& failed);

    // Reads framed bytes (u32 compressed length, u32 raw length, compressed
    // bytes) and appends the 12288-byte cell form to out. False, and out
    // unchanged, when the frame is short, its raw length is not that of a
    // chunk, or the data does not inflate to exactly that length.
    bool DecompressChunk(Net::BitStream& in, Net::BitStream& out);

    // ---- What clients are shown ----
    // Appends to body the entry (cx, cy, cz, cell form) of each chunk of the
    // set that shows a non-empty cell, as last stored (see above), and
    // returns how many it appended. The chunks are resident. shownAt, when
    // given, receives the point of the store's history that the entries
    // show (see SendShownChunks).
    uint32_t AppendShownEntries(const TouchedSet& chunks, Net::BitStream& body, uint64_t* shownAt = nullptr);
    // Builds the chunk-data message of the set as AppendShownEntries shows
    // it and hands it to send (nothing when no chunk of it shows a cell).
    // The message reaches send in its order with the store thread's
    // broadcasts: a chunk-data message that shows a chunk as stored earlier
    // never follows one that shows it as stored later, so a client is never
    // left with an older state than the one it was sent last. The message
    // is built without holding that order, and built again under it when a
    // store committed a newer copy of one of its chunks meanwhile. The
    // chunks are resident; any thread.
    void SendShownChunks(const TouchedSet& chunks, const std::function<void(const Net::BitStream&)>& send);
    // Whether the chunk, as last stored, has a non-empty cell: the test of
    // whether an answer holds it. The caller holds octreeMutex.
    bool ShowsAnyCellLocked(const Chunk& chunk) const;

    // Number of chunks in memory (the loaded list).
    uint32_t LoadedCount() const { return loadedCount_.load(); }
    uint32_t EvictionLimit() const { return evictionLimit_; }
    // The connection itself, for opening and closing it while no other thread
    // uses the chunk manager (tests).
    SqlDatabase& Database() { return database_; }
    // Closes the connection if it is open, between two statements of any
    // other thread (a worker left running by StopWithin may still load).
    // Raises the SQL wrapper's error when the close fails.
    void CloseDatabase();

    // Coordinates that have a place in the octree: x and z from -24000 to
    // 23999, y from 0 to 4.
    static bool IsInWorld(int32_t cx, int32_t cy, int32_t cz);
    // The chunk column of a spawn position (y of the result is 0).
    static Vector3i SpawnColumn(const Vector3& position);
    // The chunk that eviction counts a player at this position as standing in.
    static Vector3i PlayerChunk(const Vector3& position);
    // The key text of a chunk's row: "cx,cy,cz".
    static std::string LocationKey(int32_t cx, int32_t cy, int32_t cz);

protected:
    // Opens the store.
    void Starting() override;
    // Closes the store and stores what is still unstored; with the worker
    // ended, forgets the loaded list too: the base frees every chunk next,
    // and a later Start begins with an empty world.
    void WorkerStopped(bool workerEnded) override;
    // On the worker thread as it leaves: ends the sending thread (an answer
    // it is sending is finished, those waiting are dropped) and forgets the
    // answers begun; the requests stay queued.
    void WorkerLeaving() override;
    // The residency mutex.
    std::unique_lock<std::mutex> HoldEditsOff() override;
    // Keeps the chunk's cells as last stored before an edit's first change.
    void CellsChanging(Chunk& chunk) override;

private:
    Chunk* NewChunk(int32_t cx, int32_t cy, int32_t cz);
    Chunk* PublishChunk(Chunk* chunk);
    // GetChunk that, once the database has failed (databaseFailed set),
    // stops asking it and gives only resident chunks.
    Chunk* Acquire(int32_t cx, int32_t cy, int32_t cz, bool& databaseFailed);

    // ---- Turns (worker only) ----
    enum class StepEnd { Idle, Budget, Blocked, Stopped };
    // The answer being built for a peer's first queued request.
    struct Answer {
        uint64_t serial = 0;   // of the request
        ChunkRequest request;  // a copy
        size_t next = 0;       // coordinates looked at so far
        TouchedSet chunks;     // the non-empty chunks found, pinned
        size_t leftOut = 0;    // coordinates left out because world.db failed
        bool databaseFailed = false;
        size_t room = 0;       // of kAnswerRoom, held for the request
        bool waitingForRoom = false;
    };
    struct PeerTurns {
        std::optional<Answer> answer;
        int64_t credit = 0;  // below 0: a debt
    };
    // An answer for the sending thread.
    struct Outgoing {
        uint64_t peer = 0;
        uint64_t serial = 0;
        TouchedSet chunks;  // pinned until the worker takes it back
        Net::AddressOrGuid target;
        int32_t priority = 0;
        bool broadcast = false;
        size_t room = 0;
    };
    StepEnd ServeTurns();
    // One turn of the next peer in the rotation that may have one; false
    // when no peer may.
    bool TakeTurn(int64_t& spent);
    // Works on the peer's answer (its first request first taken) while the
    // turn's credit lasts; false when the answer is not complete.
    bool AnswerChunkRequest(uint64_t peer, PeerTurns& turns, int64_t& spent);
    // Sends or hands off a complete answer and takes its request from the
    // queue; false when it must wait for room first.
    bool FinishAnswer(uint64_t peer, PeerTurns& turns, int64_t& spent);
    void ServeSpawns();
    void TakeDepartures();
    // Unpins what the sending thread is done with; true when there was any.
    bool TakeBackSent();
    void GrantRoom();
    bool TryTakeRoom(Answer& answer);
    void WaitForRoom(Answer& answer);
    void DropAnswer(Answer& answer);
    void Unpin(const TouchedSet& chunks);
    bool HasQueuedRequests();
    void SendThreadMain();
    void StopSending();
    // False when the block could not be made resident (the database failed).
    bool AnswerSpawnRequest(const SpawnRequest& request);
    void ReportStoreError(const char* what, int32_t cx, int32_t cy, int32_t cz, const std::string& text);
    void RetryUnstoredWhenDue();

    // What the store thread is given: the chunks of one edit (or import, or
    // retry) in their set's order, with copies of their cell forms taken
    // when it was queued.
    struct StoreJob {
        uint64_t number = 0;
        std::vector<Chunk*> chunks;        // resident until the job is handled
        std::vector<Vector3i> coordinates; // of each chunk, for after that
        std::vector<unsigned char> cells;  // kSerializedChunkBytes per chunk
        // Of each chunk whose row was found damaged: when (the row is kept
        // before it is replaced); empty for the others.
        std::vector<std::string> damagedFound;
        StoreMode mode = StoreMode::AllOrNothing;
        bool show = true;     // send what was stored to every peer
        bool retry = false;   // the worker's retry of failed stores
        bool counted = false; // in the share of peer
        uint64_t peer = 0;
        TouchedSet* stored = nullptr;  // for a waiting caller: what was stored
    };
    // Copies the chunks' cells and queues the job; the caller holds
    // octreeMutex, so that the queue's order is the order of the copies.
    // Returns the job's number; 0 when the store is closed (unless
    // evenWhenClosed: Stop's own last store), and nothing was queued.
    uint64_t QueueStoreLocked(const std::vector<Chunk*>& chunks, StoreMode mode, bool show, bool retry,
                              Net::Guid sender, TouchedSet* stored, bool evenWhenClosed = false);
    // Waits until the job with that number has been handled.
    void AwaitStore(uint64_t number);
    // Queues the failed chunks that are not queued already; 0 when none.
    uint64_t QueueUnstoredLocked(bool show, TouchedSet* stored, bool evenWhenClosed = false);
    bool StoreUnstored(bool broadcast, bool evenWhenClosed);
    void StoreThreadMain();
    void StoreBatch(std::vector<StoreJob>& batch);

    PhysicsManager* owner_;
    IChunkHost* host_;
    std::mutex chunkRequestMutex_;
    std::mutex spawnRequestMutex_;
    SqlDatabase database_;
    std::mutex residencyMutex_;
    std::mutex connectionMutex_;
    // Chunks whose latest change is not stored: how many copies of each are
    // queued, and whether the last one handled failed. Guarded by
    // octreeMutex.
    struct Unstored {
        uint32_t queued = 0;
        bool failed = false;
    };
    std::unordered_map<Chunk*, Unstored> unstored_;
    // The cells of each chunk as last stored, while it has a change that is
    // not: its serialised form and non-empty count; changed while the
    // chunk has changes that no queued copy holds. Guarded by octreeMutex.
    struct ShownCopy {
        std::vector<unsigned char> cells;
        uint32_t nonEmpty = 0;
        bool changed = false;
    };
    std::unordered_map<Chunk*, ShownCopy> shown_;
    // How many times a commit has changed what a chunk shows; each chunk's
    // shownSerial is the count at its last change. Guarded by octreeMutex.
    uint64_t showSerial_ = 0;
    // The show order: held around the send of every message that shows
    // chunks (answers and broadcasts), see SendShownChunks.
    std::mutex showOrderMutex_;
    // The chunks (by key) whose row was found damaged, with the time it was
    // found, until a store has replaced the row. Guarded by octreeMutex.
    std::map<std::string, std::string> damagedRows_;
    std::string databaseFile_;
    std::atomic<size_t> unstoredCount_{0};
    std::atomic<size_t> failedCount_{0};  // of unstored_, failed and not queued
    // The store queue and its thread. storeMutex_ guards the queue, the
    // counts and the numbers; it is a leaf.
    std::mutex storeMutex_;
    std::condition_variable storeWake_;  // work for the store thread
    std::condition_variable storeDone_;  // a batch was handled, room was made
    std::deque<StoreJob> storeQueue_;
    size_t queuedChunks_ = 0;  // in the queue and in the batch being stored
    std::unordered_map<uint64_t, size_t> queuedChunksOfPeer_;
    uint64_t lastQueued_ = 0;
    uint64_t lastHandled_ = 0;
    bool storeStopping_ = false;
    bool storeClosed_ = false;  // from Stop to the next Start
    std::atomic<size_t> lostAtStop_{0};
    std::atomic<uint64_t> storeTransactions_{0};
    std::atomic<uint32_t> failedRetries_{0};  // retries in a row that stored nothing
    std::vector<unsigned char> storeRoom_;    // the store thread's compression room
    std::chrono::steady_clock::time_point nextStoreRetry_{};  // worker only
    std::list<Chunk*> loaded_;  // creation order, oldest first; worker only
    std::atomic<uint32_t> loadedCount_{0};
    // The queued chunk requests of each peer (by its GUID), and the peers
    // that have any in the order of their turns; under chunkRequestMutex_.
    // Each request carries a serial number, in the order of arrival.
    struct QueuedRequest {
        ChunkRequest request;
        uint64_t serial = 0;
    };
    struct PeerRequests {
        std::list<QueuedRequest> requests;
        size_t coordinates = 0;
    };
    std::map<uint64_t, PeerRequests> chunkRequests_;
    std::list<uint64_t> turns_;
    size_t queuedCoordinates_ = 0;  // of every peer
    uint64_t lastRequestSerial_ = 0;
    // Peers that left, each with the last serial queued before; for the
    // worker to drop their answers.
    std::vector<std::pair<uint64_t, uint64_t>> departures_;
    // Worker only: the turns of each peer that has queued requests, the
    // chunks that answers hold (how many answers hold each), and the room
    // that answers hold.
    std::map<uint64_t, PeerTurns> peerTurns_;
    std::unordered_map<Chunk*, uint32_t> pinned_;
    size_t roomHeld_ = 0;
    size_t waitingForRoom_ = 0;
    // The sending thread and its queue; sendMutex_ is a leaf.
    std::mutex sendMutex_;
    std::condition_variable sendWake_;
    std::condition_variable sendDone_;
    std::vector<Outgoing> sendWaiting_;
    std::vector<Outgoing> sendFinished_;  // sent or dropped, to be taken back
    size_t sending_ = 0;                  // being sent now (0 or 1)
    bool sendStopping_ = false;
    std::thread sendThread_;  // started with the first answer for it
    std::list<SpawnRequest> spawnRequests_;
    // Spawns whose block could not be loaded, with the time of their next
    // try; worker only.
    std::list<std::pair<std::chrono::steady_clock::time_point, SpawnRequest>> delayedSpawns_;
    std::shared_ptr<Timer> timer_;
    uint32_t evictionLimit_;
    // Started by the constructor once everything else exists, joined by the
    // destructor after the last store.
    std::thread storeThread_;
};

}  // namespace Tav
