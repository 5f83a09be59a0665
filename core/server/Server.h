#pragma once
// The running server: owns the physics manager, the chunk manager and the
// network endpoint, starts and stops their threads in a fixed order, and runs
// the network thread, which drains the peer, prints the connection events
// and hands every packet to OnPacket.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <string>
#include <mutex>
#include <thread>
#include <vector>

#include "core/IClientCallback.h"
#include "core/server/Client.h"
#include "core/server/CommandShares.h"
#include "core/server/DesignImport.h"
#include "entities/PhysicsManager.h"
#include "math/Vector3.h"
#include "net/Types.h"
#include "scripting/IScriptServer.h"
#include "scripting/ServerCommand.h"
#include "world/Chunk.h"
#include "world/IChunkHost.h"
#include "world/ServerChunker.h"

namespace Tav {

class Server : public IClientCallback, public IChunkHost, public IScriptServer {
public:
    // Opens "world.db" (through the chunk manager); starts nothing.
    Server();
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Colour table, scratch buffers, physics world and thread, chunk worker,
    // endpoint (UDP port 37373), serialisation interval, network thread.
    void Start();

    // What a stop achieved.
    struct StopReport {
        bool databaseClosed = true;  // false: the close failed (reported on standard error)
        size_t chunksLost = 0;       // chunks whose latest change could not be stored
        bool threadsLeft = false;    // a thread was left running (see Stop)
        bool Clean() const { return databaseClosed && chunksLost == 0 && !threadsLeft; }
        explicit operator bool() const { return Clean(); }
    };
    // Network thread, physics thread, chunk worker, database, physics world,
    // scratch buffers, endpoint. A failed close of the database is reported
    // and the rest is still brought down.
    //
    // With stuck, the thread that holds the Lua state and may never come
    // back (a script that does not stop): the stop does not wait for it, and
    // waits for every other thread for a few seconds at most. Everything
    // queued for the store is still stored and the database closed, and the
    // peers are told that the connection closes; but nothing that a thread
    // left running may touch is freed (physics world, scratch buffers,
    // endpoint, chunks), so the server must not be destroyed afterwards:
    // the process ends instead.
    StopReport Stop(std::thread::id stuck = std::thread::id());

    // Body of the network thread.
    void NetworkLoop();

    // Network thread: one packet of the peer (core/server/ServerPackets.cpp).
    void OnPacket(Net::Packet* packet) override;
    // Network thread: removes, unreplicates and deletes the player of a peer
    // that has gone (nothing when it has none).
    void OnPlayerDisconnected(Net::Guid guid);
    // The height (world units) at which a box of cells spawns: the bottom of
    // the lowest window of rows, as tall as the box, that holds an occupied
    // cell, searched from the top of the world down; -0.96 when none does.
    double FindSpawnHeight(const Vector3i& min, const Vector3i& max);

    // Script method: drops a physics entity at height 30 above the first
    // registered player (nothing without a player: false), owned by the
    // server's own GUID, gives it a body and hands it to the replica manager.
    // Safe from any thread while the server runs.
    bool SpawnPhysicsEntity() override;
    // Script methods: design imports and their undo, safe from any thread
    // (core/server/ServerScriptMethods.cpp). Each sends the chunks it changed
    // to every peer in one ID_CHUNK_DATA, also when there are none; nothing
    // is sent when a chunk could not be stored (the chunk store reports it).
    // They print nothing themselves; the parser writes its line to the
    // debugger output. Each returns the text of what it did, as far as it is
    // known when it returns: the bricks are then in the world, their store
    // and the message to the peers follow on the store thread.
    //
    // "test.lxfml" from the working folder at the cell (16, 16, 0); no undo.
    std::string ImportTestLXFML() override;
    // A Base64 design beside the sender's player (nothing without one),
    // remembered for the sender's undo, also when nothing of it landed.
    std::string ImportBase64LXFML(ServerCommandConnector& connector, const std::string& text) override;
    // Takes the sender's last Base64 design out again and forgets it.
    // Nothing without a player or a record.
    std::string UndoImportLXFML(ServerCommandConnector& connector) override;

    // IChunkHost: what the chunk worker calls.
    void SendChunks(const TouchedSet& chunks, const Net::AddressOrGuid& target, int priority,
                    bool broadcast) override;
    void SendChunkEntries(uint32_t count, const Net::BitStream& body, const Net::AddressOrGuid& target, int priority,
                          bool broadcast) override;
    void SpawnPlayer(Net::Guid guid, const Vector3& position) override;
    void CollectScriptGarbage() override;
    void UpdateHeldItems(double dt) override;
    void ForEachPlayerPosition(const std::function<void(const Vector3&)>& visit) override;

    // The endpoint, from Start to Stop. The threads that use it (network
    // thread, chunk worker and store thread, script methods) are stopped
    // before it goes; the chunk messages take it under endpointMutex_.
    Client* GetClient() const { return client; }
    ServerChunker& GetChunker() { return chunker; }
    PhysicsManager& GetPhysicsManager() { return physicsManager; }

    // Fields in this order: destruction takes the thread object, the chunk
    // manager, then the physics manager.
    PhysicsManager physicsManager;
    Client* client = nullptr;  // owned; from Start to Stop
    ServerChunker chunker;
    std::thread networkThread;
    std::atomic<bool> netRunning{false};

    // The last Base64 import of each sender, for its undo (an undo leaves
    // the empty record); each import drops the records of players that have
    // left. importMutex guards it and serialises the
    // import methods, so that a record always describes what its stamping
    // did. Lock order: after the Lua lock, before the chunk manager's
    // residencyMutex; no script runs while it is held.
    std::mutex importMutex;
    std::map<Net::Guid, ImportRecord> importUndo;

private:
    // Waits until the network thread has left its loop, at most until the
    // deadline (max: as long as it takes); false when it has not.
    bool AwaitNetworkThread(std::chrono::steady_clock::time_point deadline);
    // Closes every connection gracefully without freeing the endpoint.
    void TellPeersClosing();

    // Guards the pointer client for the chunk messages' sends (leaf: only
    // the network library's own locks are taken under it): Stop detaches
    // the endpoint under it before deleting it, so that a send from the
    // chunk manager's threads either is over or finds none.
    std::mutex endpointMutex_;
    // Set by the network thread as it leaves its loop.
    std::mutex networkEndMutex_;
    std::condition_variable networkEndChanged_;
    bool networkEnded_ = false;

    // Spawn notices (ID_PLAYER_SPAWNED) waiting for the network thread. A
    // notice is queued after its player was referenced, and the network
    // thread sends the notices that it took before a drain only after that
    // drain's first receive, whose replica manager update sends the
    // player's construction: so a client always hears of its player's
    // construction before the notice.
    void QueueSpawnNotice(Net::Guid guid);
    std::vector<Net::Guid> TakeSpawnNotices();
    void SendSpawnNotices(const std::vector<Net::Guid>& guids);
    std::mutex spawnNoticeMutex_;
    std::vector<Net::Guid> spawnNotices_;

    // A client's ID_SERVER_COMMAND, run while its host has time left of its
    // share (network thread only).
    void RunClientCommand(Net::BitStream& in, const Net::Packet& packet);
    CommandShares commandShares_;
};

// The one server of the process: set by main right after construction,
// never cleared.
extern Server* g_server;

}  // namespace Tav
