#include "core/server/Server.h"

#include <cstdio>
#include <exception>

#include "core/Debug.h"
#include "entities/EntityManager.h"
#include "entities/Player.h"
#include "scripting/ServerCommander.h"
#include "world/ColourTable.h"
#include "world/ScratchBuffers.h"

namespace Tav {

Server* g_server = nullptr;

namespace {
constexpr int kAutoSerializeIntervalMs = 33;
}

Server::Server() : physicsManager(), client(nullptr), chunker(&physicsManager, this) {}

Server::~Server() {
    // Start without Stop must not leave a running thread or an open
    // endpoint behind.
    if (networkThread.joinable()) {
        netRunning = false;
        networkThread.join();
    }
    delete client;
    client = nullptr;  // the chunk manager's threads end after this body
}

void Server::Start() {
    ColourTable::Build();
    AllocateScratchBuffers();
    physicsManager.InitWorld();
    physicsManager.Start();
    chunker.Start();
    Player::SetOccupancy(&chunker);
    client = new Client(this, true);
    client->replicaManager->SetAutoSerializeInterval(kAutoSerializeIntervalMs);
    netRunning = true;
    networkThread = std::thread(&Server::NetworkLoop, this);
}

bool Server::Stop() {
    netRunning = false;
    // A shut-down asked for from the network thread itself cannot wait for it.
    if (networkThread.joinable() && networkThread.get_id() != std::this_thread::get_id())
        networkThread.join();
    physicsManager.Stop();
    Player::SetOccupancy(nullptr);
    chunker.Stop();
    bool closed = true;
    try {
        if (chunker.Database().IsOpen())
            chunker.Database().Close();
    } catch (const std::exception& e) {
        // The rows are written already; bring the rest down all the same so
        // that the peers see the connections close.
        DebugOutput(std::string("Shut-down: ") + e.what() + "\n");
        closed = false;
    }
    physicsManager.Shutdown();
    FreeScratchBuffers();
    TakeSpawnNotices();  // their peers are gone with the endpoint
    delete client;
    client = nullptr;
    return closed;
}

void Server::NetworkLoop() {
    Net::Peer* peer = client->peer;
    const bool isServer = client->isServer;
    while (netRunning) {
        // Taken before the drain: the first Receive below runs the replica
        // manager's update, which sends the constructions of these players.
        const std::vector<Net::Guid> notices = TakeSpawnNotices();
        bool received = false;
        for (Net::Packet* p = peer->Receive(); p; p = peer->Receive()) {
            received = true;
            Client::PrintConnectionEvent(p, isServer);
            OnPacket(p);
            peer->DeallocatePacket(p);
        }
        SendSpawnNotices(notices);
        // No pause between drains; only let other threads of this core run.
        if (!received && notices.empty())
            std::this_thread::yield();
    }
}

void Server::CollectScriptGarbage() { g_serverCommander.CollectGarbage(); }

void Server::UpdateHeldItems(double dt) { g_serverCommander.UpdateHeldItems(dt); }

void Server::ForEachPlayerPosition(const std::function<void(const Vector3&)>& visit) {
    g_entityManager.ForEachPlayerLocked([&visit](const std::vector<Player*>& players) {
        for (Player* player : players)
            visit(player->CopyPlayerState(true).motion.position);
    });
}

}  // namespace Tav
