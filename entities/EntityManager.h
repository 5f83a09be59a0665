#pragma once
// The process-wide registry of entities (`g_entityManager`): the players in
// the order of registration, the physics entities, and the factory that turns
// a type name into a new entity.
//
// Locking: one plain mutex guards both lists and the local player; it is
// taken by every operation here for as long as it reads them, and it is never
// held while scripts run: a walk that calls out copies the list first
// (CopyPlayers). Listener notifications run under it and must not call back.
// The registry mutex may be held when a player's mutex is taken, never the
// reverse.
//
// Lifetime of players. A thread that is not the one that deletes players (the
// network thread) holds a player only through a PlayerRef, taken from
// FindPlayerRefByGuid or CopyPlayers. Deleting a player (DeletePlayer, or a
// plain delete) first takes it out of the registry under the mutex and then
// waits until every PlayerRef to it has been dropped, so no copy is ever used
// after the player is freed; a PlayerRef can only be taken while the player
// is registered. A thread must not delete a player while it holds a
// PlayerRef to that player itself. Raw pointers (FindPlayerByGuid,
// CopyPlayerPointers) are valid on the deleting thread, or for as long as
// the caller holds off deletion by other means (ForEachPlayerLocked holds the
// registry mutex for the whole walk).
#include <condition_variable>
#include <mutex>
#include <vector>

#include "core/INetworkProperties.h"
#include "math/Vector3.h"
#include "net/Types.h"

namespace Tav {

class BaseEntity;
class EntityManager;
class PhysicsEntity;
class Player;

class IEntityListener {
public:
    virtual ~IEntityListener() = default;
    virtual void PlayerAdded(Player* player) = 0;
    virtual void PlayerRemoved(Player* player) = 0;
    virtual void EntityAdded(PhysicsEntity* entity) = 0;
    virtual void EntityRemoved(PhysicsEntity* entity) = 0;
};

// Keeps a registered player from being freed while it is held.
class PlayerRef {
public:
    PlayerRef() = default;
    PlayerRef(const PlayerRef& other);
    PlayerRef(PlayerRef&& other) noexcept;
    PlayerRef& operator=(PlayerRef other) noexcept;
    ~PlayerRef();

    Player* get() const { return player_; }
    Player* operator->() const { return player_; }
    Player& operator*() const { return *player_; }
    explicit operator bool() const { return player_ != nullptr; }
    void Reset();

private:
    friend class EntityManager;
    PlayerRef(EntityManager* manager, Player* player);  // registry mutex held
    EntityManager* manager_ = nullptr;
    Player* player_ = nullptr;
};

class EntityManager {
public:
    EntityManager() = default;
    // Frees the lists, not the entities.
    ~EntityManager() = default;
    EntityManager(const EntityManager&) = delete;
    EntityManager& operator=(const EntityManager&) = delete;

    // "Player" or "PhysicsEntity" (exactly) made with the host-only
    // constructor, not registered; null for any other name.
    BaseEntity* CreateByTypeName(const char* typeName, INetworkProperties* host);
    // A new registered entity at position; null for an unknown name.
    BaseEntity* Spawn(const char* typeName, Net::Guid guid, INetworkProperties* host, const Vector3& position);

    // The spawn of a player on a thread other than the deleting one: makes the
    // player as Spawn("Player", ...) does, registers it and returns it held,
    // in one step, so it cannot be freed before the caller has filled it.
    PlayerRef SpawnPlayer(Net::Guid guid, INetworkProperties* host, const Vector3& position);

    void AddPlayer(Player* player);
    // Unregisters every entry of the player; does not delete it.
    void RemovePlayer(Player* player);
    // Unregisters the player, waits until no PlayerRef holds it and deletes it.
    void DeletePlayer(Player* player);
    // The first registered player with the GUID's 64-bit value, or null.
    Player* FindPlayerByGuid(Net::Guid guid);
    PlayerRef FindPlayerRefByGuid(Net::Guid guid);
    // The players in registration order, each held.
    std::vector<PlayerRef> CopyPlayers();
    std::vector<Player*> CopyPlayerPointers();
    // Calls f(const std::vector<Player*>&) with the registry mutex held; f
    // must not run scripts or call back into the registry.
    template <class F>
    void ForEachPlayerLocked(F&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        f(static_cast<const std::vector<Player*>&>(players_));
    }
    size_t GetPlayerCount();
    Player* GetLocalPlayer();

    // The physics entities' own list (they add and remove themselves).
    void AddEntity(PhysicsEntity* entity);
    void RemoveEntity(PhysicsEntity* entity);
    size_t GetEntityCount();

    void SetListener(IEntityListener* listener);

private:
    friend class Player;
    friend class PlayerRef;
    // Called by the player's destructor: removes what is left of it and waits
    // for its PlayerRefs to go.
    void ForgetPlayer(Player* player);
    void AddPlayerLocked(Player* player);
    void RemovePlayerLocked(Player* player);
    void Pin(Player* player);
    void Unpin(Player* player);

    std::vector<Player*> players_;
    IEntityListener* listener_ = nullptr;
    Player* localPlayer_ = nullptr;
    std::vector<PhysicsEntity*> entities_;
    std::mutex mutex_;
    // Guards every player's pin count; a leaf lock.
    std::mutex pinMutex_;
    std::condition_variable unpinned_;
};

extern EntityManager g_entityManager;

}  // namespace Tav
