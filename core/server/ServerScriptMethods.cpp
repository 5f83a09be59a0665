// The server's methods for scripts.
#include <vector>

#include "core/server/Server.h"
#include "entities/EntityManager.h"
#include "entities/PhysicsEntity.h"
#include "entities/Player.h"

namespace Tav {

namespace {
// World height at which a physics entity appears.
constexpr double kPhysicsEntitySpawnHeight = 30.0;
}  // namespace

void Server::SpawnPhysicsEntity()
{
    if (!client) return;
    // The first player's simulated position, read under the registry's mutex
    // (and the player's own), so that no thread can delete it meanwhile.
    bool anyPlayer = false;
    Vector3 at(0.0, 0.0, 0.0);
    g_entityManager.ForEachPlayerLocked([&](const std::vector<Player*>& players) {
        if (players.empty()) return;
        anyPlayer = true;
        at = players.front()->CopyPlayerState(false).motion.position;
    });
    if (!anyPlayer) return;

    BaseEntity* spawned = g_entityManager.Spawn("PhysicsEntity", client->GetMyGUID(), client,
                                                Vector3(at.x, kPhysicsEntitySpawnHeight, at.z));
    auto* entity = static_cast<PhysicsEntity*>(spawned);
    physicsManager.AddEntity(entity);
    client->GetReplicaManager()->Reference(entity);
}

// Design imports: not built yet; they change nothing.
void Server::ImportTestLXFML() {}
void Server::ImportBase64LXFML(ServerCommandConnector&, const std::string&) {}
void Server::UndoImportLXFML(ServerCommandConnector&) {}

}  // namespace Tav
