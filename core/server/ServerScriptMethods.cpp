// The server's methods for scripts.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/server/Server.h"
#include "entities/EntityManager.h"
#include "entities/PhysicsEntity.h"
#include "entities/Player.h"
#include "world/Base64.h"
#include "world/Lxfml.h"

namespace Tav {

namespace {
// World height at which a physics entity appears.
constexpr double kPhysicsEntitySpawnHeight = 30.0;

// Where the test design lands.
const Vector3i kTestDesignOrigin(16, 16, 0);

// Enough Base64 characters for one byte more than a design may have: a
// longer text would decode to a design that is refused all the same, so the
// rest of it is never decoded.
constexpr size_t kMaxBase64Chars = (kMaxLxfmlTextBytes + 1 + 2) / 3 * 4;

// The simulated state of the sender's player, copied under the player's
// mutex while a PlayerRef keeps it alive (safe on every thread, the one that
// deletes players included); false when the sender has no player.
bool CopySenderState(Net::Guid sender, PlayerState& state)
{
    PlayerRef player = g_entityManager.FindPlayerRefByGuid(sender);
    if (!player) return false;
    state = player->CopyPlayerState(false);
    return true;
}

// Places the design's bricks with their anchors at origin + the brick's cell,
// as one edit. The chunks it changes are shown once stored (the store thread
// sends them; a chunk whose store fails, once the worker has stored it). The
// caller holds the server's import mutex.
DesignStampCount PlaceDesign(ServerChunker& chunker, const LxfmlDesign& design, const Vector3i& origin)
{
    chunker.WaitForStoreRoom();
    ServerChunker::EditScope edit(chunker);
    TouchedSet touched;
    return chunker.PlaceDesignAndSave(edit, touched, design, origin);
}
}  // namespace

bool Server::SpawnPhysicsEntity()
{
    if (!client) return false;
    // The first player's simulated position, read under the registry's mutex
    // (and the player's own), so that no thread can delete it meanwhile.
    bool anyPlayer = false;
    Vector3 at(0.0, 0.0, 0.0);
    g_entityManager.ForEachPlayerLocked([&](const std::vector<Player*>& players) {
        if (players.empty()) return;
        anyPlayer = true;
        at = players.front()->CopyPlayerState(false).motion.position;
    });
    if (!anyPlayer) return false;

    BaseEntity* spawned = g_entityManager.Spawn("PhysicsEntity", client->GetMyGUID(), client,
                                                Vector3(at.x, kPhysicsEntitySpawnHeight, at.z));
    auto* entity = static_cast<PhysicsEntity*>(spawned);
    physicsManager.AddEntity(entity);
    client->GetReplicaManager()->Reference(entity);
    return true;
}

std::string Server::ImportTestLXFML()
{
    LxfmlDesign design;
    const LxfmlResult parsed = LoadLxfmlFile(design, Vector3i(0, 0, 0));

    DesignStampCount count;
    {
        std::lock_guard<std::mutex> imports(importMutex);
        count = PlaceDesign(chunker, design, kTestDesignOrigin);
    }
    if (parsed != LxfmlResult::Parsed)
        return "No test design placed: " + DesignRefusalText(parsed, kOperatorLxfmlLimits);
    if (design.bricks.empty()) return "No test design placed: it has no bricks to place";
    return BrickCountText(count.placed, design.bricks.size()) + " of the test design placed at the cell (" +
           std::to_string(kTestDesignOrigin.x) + ", " + std::to_string(kTestDesignOrigin.y) + ", " +
           std::to_string(kTestDesignOrigin.z) + ")" + PartlyText(count);
}

std::string Server::ImportBase64LXFML(ServerCommandConnector& connector, const std::string& text)
{
    const Net::Guid sender = connector.GetGUID();
    PlayerState player;
    if (!CopySenderState(sender, player)) return "No design placed: the sender has no player";

    // Decoded and parsed before any lock is taken: nothing waits for it.
    LxfmlDesign design;
    const LxfmlResult parsed = ParseLxfml(
        Base64Decode(text.size() > kMaxBase64Chars ? text.substr(0, kMaxBase64Chars) : text), Vector3i(0, 0, 0),
        design, kClientLxfmlLimits);
    const Vector3i origin = DesignOriginBeside(player.motion.position, player.facing, design);
    const size_t total = design.bricks.size();

    DesignStampCount count;
    {
        std::lock_guard<std::mutex> imports(importMutex);
        count = PlaceDesign(chunker, design, origin);
        // The records of players that have left go first: a host may connect
        // under ever new GUIDs, and every record may hold a whole design, so
        // the map holds no more records than there are players.
        for (auto it = importUndo.begin(); it != importUndo.end();) {
            if (it->first != sender && !g_entityManager.FindPlayerRefByGuid(it->first))
                it = importUndo.erase(it);
            else
                ++it;
        }
        // Recorded even when a store fails: the bricks are in the world (and
        // stored later), and the undo must be able to take them out.
        importUndo[sender] = ImportRecord{std::move(design), origin};
    }
    if (parsed != LxfmlResult::Parsed) return "No design placed: " + DesignRefusalText(parsed, kClientLxfmlLimits);
    if (total == 0) return "No design placed: it has no bricks to place";
    return BrickCountText(count.placed, total) + " placed beside the sender's player" + PartlyText(count);
}

std::string Server::UndoImportLXFML(ServerCommandConnector& connector)
{
    const Net::Guid sender = connector.GetGUID();
    PlayerState player;
    if (!CopySenderState(sender, player)) return "Nothing taken out: the sender has no player";

    ImportRecord record;
    size_t removed = 0;
    {
        std::lock_guard<std::mutex> imports(importMutex);
        const auto it = importUndo.find(sender);
        if (it == importUndo.end()) return "Nothing taken out: the sender has no design to take out";
        record = std::exchange(it->second, ImportRecord());

        chunker.WaitForStoreRoom();
        ServerChunker::EditScope edit(chunker);
        TouchedSet touched;
        removed = chunker.RemoveDesignAndSave(edit, touched, record.design, record.origin);
    }
    if (record.design.bricks.empty()) return "Nothing taken out: the sender has no design to take out";
    return BrickCountText(removed, record.design.bricks.size()) + " of the sender's last design taken out";
}

}  // namespace Tav
