// The game's messages on the network thread, chunk sending and player spawn.
//
// Every handler reads only what the message holds: a field that was not read
// is never acted on, and no count or length that the message's bytes do not
// back is allocated for.
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "core/ConsoleOutput.h"
#include "core/GameMessages.h"
#include "core/server/Server.h"
#include "entities/EntityManager.h"
#include "entities/Movement.h"
#include "entities/Player.h"
#include "entities/PlayerInput.h"
#include "scripting/ServerCommander.h"
#include "world/BrickCatalogue.h"
#include "world/ChunkMessage.h"

namespace Tav {

namespace {

// The excluded box of a player's placement: minimum above maximum in y, so it
// holds no cell.
const Vector3i kNoExcludedMin(-10000, -10000, -10000);
const Vector3i kNoExcludedMax(-10000, -100000, -10000);

// Every answer to a chunk request fits in one message, even if nothing compresses.
static_assert(ServerChunker::kMaxCoordinatesPerRequest * kChunkDataEntryBytes * 1.001 + 13 + 64 <
                  Net::MAXIMUM_MESSAGE_SIZE,
              "a full chunk answer must fit in one message");

// Bits of the seven doubles that begin a player input on the wire; the six
// flag bits after them are optional (a flag without its bit stays false).
constexpr Net::BitSize kPlayerInputDoublesBits = 7 * 64;

// ID_REQUEST_CHUNKS: i32 count, then count (cx, cy, cz). A count beyond the
// message is cut to the whole entries present; beyond the per-request cap,
// to the cap.
void HandleChunkRequest(ServerChunker& chunker, Net::BitStream& in, Net::Guid sender)
{
    int32_t count = 0;
    if (!in.Read(count)) return;
    const size_t present = in.GetNumberOfUnreadBits() / (3 * 32);
    const size_t n = count <= 0 ? 0 : std::min({static_cast<size_t>(count), present,
                                                ServerChunker::kMaxCoordinatesPerRequest});
    ChunkRequest request;
    request.coordinates.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        Vector3i c;
        in.Read(c.x);
        in.Read(c.y);
        in.Read(c.z);
        request.coordinates.push_back(c);
    }
    request.target = Net::AddressOrGuid(sender, Net::UNASSIGNED_SYSTEM_ADDRESS);
    request.priority = Net::MEDIUM_PRIORITY;
    request.broadcast = false;
    chunker.QueueChunkRequest(request);
}

// ID_PLACE_BRICK: i32 x, y, z, u8 type, u8 rotation, u8 colour.
void HandlePlaceBrick(Server& server, Net::BitStream& in, Net::Guid sender)
{
    Vector3i anchor;
    uint8_t type = 0, rotation = 0, colour = 0;
    if (!in.Read(anchor.x) || !in.Read(anchor.y) || !in.Read(anchor.z) || !in.Read(type) || !in.Read(rotation) ||
        !in.Read(colour))
        return;
    Player* player = g_entityManager.FindPlayerByGuid(sender);
    if (!player) return;
    BrickShape* shape = BrickCatalogue::FindShape(type, rotation);
    if (!shape || !shape->owner) return;

    // An edit beyond the sender's share of the store queue is not made (the
    // client hears nothing of it, as of an edit that does not fit).
    ServerChunker& chunker = server.GetChunker();
    if (!chunker.HasStoreRoom(sender)) return;
    // Read before the edit: a player's lock comes before the cells' in the
    // lock order.
    const bool haveOne = player->GetInventoryCount(*shape->owner) > 0;
    // The touched chunks stay resident until they are stored and sent.
    ServerChunker::EditScope edit(chunker);
    TouchedSet touched;
    const bool placed =
        haveOne && edit.PlaceBrick(kNoExcludedMin, kNoExcludedMax, *shape, colour, anchor, &touched, true);
    if (!placed) edit.CollectShapeChunks(*shape, anchor, touched);
    // Stored first, then shown: the store thread sends the chunks to every
    // peer once they are on disk (chunks whose store failed, once the worker
    // has stored them).
    edit.Store(touched, StoreMode::AllOrNothing, sender);
    if (placed) player->AddToInventory(*shape->owner, -1);
}

// ID_REMOVE_BRICK: i32 x, y, z of any cell of the brick.
void HandleRemoveBrick(Server& server, Net::BitStream& in, Net::Guid sender)
{
    Vector3i cell;
    if (!in.Read(cell.x) || !in.Read(cell.y) || !in.Read(cell.z)) return;
    Player* player = g_entityManager.FindPlayerByGuid(sender);
    if (!player) return;

    ServerChunker& chunker = server.GetChunker();
    if (!chunker.HasStoreRoom(sender)) return;
    ServerChunker::EditScope edit(chunker);
    TouchedSet touched;
    const BrickShape* shape = edit.RemoveBrickAt(cell, &touched);
    edit.Store(touched, StoreMode::AllOrNothing, sender);
    if (shape && shape->owner) player->AddToInventory(*shape->owner, 1);
}

// ID_SERVER_COMMAND: u32 length, then the text. A length beyond the message
// drops it: a command cut short might do something else than was asked.
void HandleServerCommand(Net::BitStream& in, Net::Guid sender)
{
    uint32_t length = 0;
    if (!in.Read(length)) return;
    if (length > in.GetNumberOfUnreadBits() / 8) return;
    std::string text(length, '\0');
    if (length > 0 && !in.ReadBytes(&text[0], length)) return;
    const size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    g_serverCommander.Execute(sender, text);  // the output is not sent back
}

// ID_PLAYER_INPUT: one player input: the seven doubles, then the flags that
// the message holds bits for. Shorter than the doubles: dropped.
void HandlePlayerInput(Net::BitStream& in, Net::Guid sender)
{
    if (in.GetNumberOfUnreadBits() < kPlayerInputDoublesBits) return;
    PlayerInput input;
    input.Deserialize(&in);
    if (Player* player = g_entityManager.FindPlayerByGuid(sender)) player->ApplyInput(input);
}

}  // namespace

void Server::OnPacket(Net::Packet* packet)
{
    if (!packet || !packet->data || packet->length == 0) return;
    Net::BitStream in(packet->data, packet->length, false);
    uint8_t id = 0;
    in.Read(id);
    switch (id) {
    case Net::ID_NEW_INCOMING_CONNECTION:
        chunker.QueueSpawnRequest(SpawnRequest{packet->guid, Vector3(0.0, 0.0, 0.0)});
        PrintConsoleLine(packet->systemAddress.ToString(false) + " connected");
        PrintConsoleLine("Player joined with guid: " + packet->guid.ToString() + " ");
        break;
    case Net::ID_DISCONNECTION_NOTIFICATION:
    case Net::ID_CONNECTION_LOST:
        chunker.DropChunkRequests(packet->guid);  // nobody left to answer
        OnPlayerDisconnected(packet->guid);
        break;
    case ID_REQUEST_CHUNKS:
        HandleChunkRequest(chunker, in, packet->guid);
        break;
    case ID_PLACE_BRICK:
        HandlePlaceBrick(*this, in, packet->guid);
        break;
    case ID_REMOVE_BRICK:
        HandleRemoveBrick(*this, in, packet->guid);
        break;
    case ID_SERVER_COMMAND:
        RunClientCommand(in, *packet);
        break;
    case ID_PLAYER_INPUT:
        HandlePlayerInput(in, packet->guid);
        break;
    default:
        break;  // the library's own, and what the server sends itself
    }
}

void Server::RunClientCommand(Net::BitStream& in, const Net::Packet& packet)
{
    const uint32_t host = packet.systemAddress.address;
    const auto start = CommandShares::Clock::now();
    switch (commandShares_.Ask(host, start)) {
    case CommandShares::Verdict::FirstDrop:
        PrintConsoleLine("Commands from " + packet.systemAddress.ToString(false) +
                         " are dropped for a while: they have taken more than their share of the server's time.");
        return;
    case CommandShares::Verdict::Drop:
        return;
    case CommandShares::Verdict::Run:
        break;
    }
    HandleServerCommand(in, packet.guid);
    commandShares_.Charge(host, CommandShares::Clock::now() - start);
}

void Server::OnPlayerDisconnected(Net::Guid guid)
{
    Player* player = g_entityManager.FindPlayerByGuid(guid);
    if (!player) return;
    player->BroadcastDestruction();
    g_entityManager.DeletePlayer(player);  // unregisters, waits for holders, deletes
    PrintConsoleLine("Player removed with guid: " + guid.ToString() + " ");
}

void Server::SendChunks(const TouchedSet& chunks, const Net::AddressOrGuid& target, int priority, bool broadcast)
{
    // Each chunk as it is stored, in the order of what the store's
    // broadcasts show; a chunk that shows no cell is left out, and a set of
    // none sends nothing.
    chunker.SendShownChunks(chunks, [&](const Net::BitStream& message) {
        std::lock_guard<std::mutex> endpoint(endpointMutex_);  // Stop detaches it under this lock
        if (client && client->GetPeer())
            client->GetPeer()->Send(&message, static_cast<Net::PacketPriority>(priority), Net::RELIABLE, 1, target,
                                    broadcast);
    });
}

void Server::SendChunkEntries(uint32_t count, const Net::BitStream& body, const Net::AddressOrGuid& target,
                              int priority, bool broadcast)
{
    Net::BitStream message;
    WriteChunkDataMessage(count, body, message);
    std::lock_guard<std::mutex> endpoint(endpointMutex_);  // the store thread's send, see SendChunks
    if (client && client->GetPeer())
        client->GetPeer()->Send(&message, static_cast<Net::PacketPriority>(priority), Net::RELIABLE, 1, target,
                                broadcast);
}

double Server::FindSpawnHeight(const Vector3i& min, const Vector3i& max)
{
    constexpr double kRowHeight = static_cast<double>(0.96f);    // 0.9599999785423279
    constexpr double kWorldHeight = static_cast<double>(76.8f);  // 76.79999542236328
    const double rows = (kWorldHeight - (double(max.y) - double(min.y))) / kRowHeight;
    int32_t h = rows >= 79.0 ? 79 : (rows <= -1.0 ? -1 : static_cast<int32_t>(rows));
    int32_t top = 79;
    for (; h >= 0; --h, --top)
        if (chunker.IsBoxOccupied(Vector3i(min.x, h, min.z), Vector3i(max.x, top, max.z)))
            return h * kRowHeight;
    return -kRowHeight;
}

void Server::SpawnPlayer(Net::Guid guid, const Vector3& position)
{
    if (!client || !client->GetPeer()) return;
    // A peer that left while its spawn waited gets no player (one that
    // leaves from here on is caught when its notice goes out).
    if (client->GetPeer()->GetSystemAddressFromGuid(guid).IsUnassigned()) return;

    Vector3i min, max;
    GetBlockRangeOfBox(position, min, max);
    const double y = FindSpawnHeight(min, max);
    // Registered and held in one step, so that a disconnect on the network
    // thread cannot free it while it is filled.
    PlayerRef player = g_entityManager.SpawnPlayer(guid, client, Vector3(position.x, y, position.z));
    for (const BrickType& type : BrickCatalogue::Types()) player->AddToInventory(type, 10000);
    client->GetReplicaManager()->Reference(player.get());
    // The notice goes out from the network thread, after the construction.
    QueueSpawnNotice(guid);
}

void Server::QueueSpawnNotice(Net::Guid guid)
{
    std::lock_guard<std::mutex> lock(spawnNoticeMutex_);
    spawnNotices_.push_back(guid);
}

std::vector<Net::Guid> Server::TakeSpawnNotices()
{
    std::vector<Net::Guid> taken;
    std::lock_guard<std::mutex> lock(spawnNoticeMutex_);
    taken.swap(spawnNotices_);
    return taken;
}

void Server::SendSpawnNotices(const std::vector<Net::Guid>& guids)
{
    for (const Net::Guid& guid : guids) {
        // The peer left between the spawn's check and its registration: its
        // disconnect found no player, so the player is removed here.
        if (client->GetPeer()->GetSystemAddressFromGuid(guid).IsUnassigned()) {
            OnPlayerDisconnected(guid);
            continue;
        }
        Net::BitStream spawned;
        spawned.Write(static_cast<uint8_t>(ID_PLAYER_SPAWNED));
        client->GetPeer()->Send(&spawned, Net::HIGH_PRIORITY, Net::RELIABLE, 1,
                                Net::AddressOrGuid(guid, Net::UNASSIGNED_SYSTEM_ADDRESS), false);
    }
}

}  // namespace Tav
