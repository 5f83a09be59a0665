#include "core/server/Server.h"

#include <chrono>
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
// With a thread stuck in a script, how long the stop waits for each of the
// others: they only have to notice that they should end.
constexpr std::chrono::seconds kOtherThreadsGrace(3);
using Clock = std::chrono::steady_clock;
}  // namespace

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
    {
        std::lock_guard<std::mutex> lock(networkEndMutex_);
        networkEnded_ = false;
    }
    netRunning = true;
    networkThread = std::thread(&Server::NetworkLoop, this);
}

bool Server::AwaitNetworkThread(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(networkEndMutex_);
    if (deadline == Clock::time_point::max())
        networkEndChanged_.wait(lock, [this] { return networkEnded_; });
    else
        networkEndChanged_.wait_until(lock, deadline, [this] { return networkEnded_; });
    return networkEnded_;
}

Server::StopReport Server::Stop(std::thread::id stuck) {
    StopReport report;
    const bool bounded = stuck != std::thread::id();
    const Clock::time_point others = bounded ? Clock::now() + kOtherThreadsGrace : Clock::time_point::max();
    auto deadlineFor = [&](std::thread::id thread) { return thread == stuck ? Clock::now() : others; };

    netRunning = false;
    // A shut-down asked for from the network thread itself cannot wait for it.
    if (networkThread.joinable() && networkThread.get_id() != std::this_thread::get_id()) {
        // One that has not ended runs on in OnPacket (the destructor would
        // join it): the process ends instead.
        if (AwaitNetworkThread(deadlineFor(networkThread.get_id()))) networkThread.join();
    }
    physicsManager.Stop();
    Player::SetOccupancy(nullptr);
    // After this the chunk manager calls nothing of this server any more: its
    // worker has ended (or is left in a script) and its store is closed and
    // drained, so the store thread sends nothing more.
    chunker.StopWithin(deadlineFor(chunker.WorkerId()));
    report.chunksLost = chunker.ChunksLostAtStop();
    try {
        chunker.CloseDatabase();
    } catch (const std::exception& e) {
        // The rows are written already; bring the rest down all the same so
        // that the peers see the connections close.
        DebugOutput(std::string("Shut-down: ") + e.what() + "\n");
        report.databaseClosed = false;
    }
    if (bounded) {
        // A thread that runs on may reach the physics world, the scratch
        // buffers, the endpoint and the chunks through its script: they all
        // stay. Only the connections are closed.
        report.threadsLeft = true;
        TellPeersClosing();
        return report;
    }
    physicsManager.Shutdown();
    FreeScratchBuffers();
    TakeSpawnNotices();  // their peers are gone with the endpoint
    Client* endpoint = nullptr;
    {
        std::lock_guard<std::mutex> lock(endpointMutex_);
        endpoint = client;
        client = nullptr;
    }
    delete endpoint;
    return report;
}

void Server::TellPeersClosing() {
    // The peer closes every connection gracefully, waits a moment for the
    // closes to go out and stops its own thread, but stays allocated: a
    // network thread left in OnPacket gives its packet back to it later, and
    // sends from threads left running find no connection. (The peer takes a
    // shut-down beside its receiving thread: what that thread holds is freed
    // with the peer, never before.)
    if (client && client->GetPeer()) client->GetPeer()->Shutdown();
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
    {
        std::lock_guard<std::mutex> lock(networkEndMutex_);
        networkEnded_ = true;
    }
    networkEndChanged_.notify_all();
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
