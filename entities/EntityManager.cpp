#include "entities/EntityManager.h"

#include <algorithm>
#include <cstring>

#include "entities/PhysicsEntity.h"
#include "entities/Player.h"

namespace Tav {

EntityManager g_entityManager;

// --- PlayerRef ---

PlayerRef::PlayerRef(EntityManager* manager, Player* player) : manager_(manager), player_(player) {
    if (player_ != nullptr) manager_->Pin(player_);
}

PlayerRef::PlayerRef(const PlayerRef& other) : manager_(other.manager_), player_(other.player_) {
    // The source holds a pin, so the player cannot be freed meanwhile.
    if (player_ != nullptr) manager_->Pin(player_);
}

PlayerRef::PlayerRef(PlayerRef&& other) noexcept : manager_(other.manager_), player_(other.player_) {
    other.manager_ = nullptr;
    other.player_ = nullptr;
}

PlayerRef& PlayerRef::operator=(PlayerRef other) noexcept {
    std::swap(manager_, other.manager_);
    std::swap(player_, other.player_);
    return *this;
}

PlayerRef::~PlayerRef() { Reset(); }

void PlayerRef::Reset() {
    if (player_ != nullptr) manager_->Unpin(player_);
    manager_ = nullptr;
    player_ = nullptr;
}

void EntityManager::Pin(Player* player) {
    std::lock_guard<std::mutex> lock(pinMutex_);
    ++player->pins_;
}

void EntityManager::Unpin(Player* player) {
    std::lock_guard<std::mutex> lock(pinMutex_);
    if (--player->pins_ == 0) unpinned_.notify_all();
}

// --- factory ---

BaseEntity* EntityManager::CreateByTypeName(const char* typeName, INetworkProperties* host) {
    if (typeName == nullptr) return nullptr;
    if (std::strcmp(typeName, "Player") == 0) return new Player(host);
    if (std::strcmp(typeName, "PhysicsEntity") == 0) return new PhysicsEntity(host);
    return nullptr;
}

BaseEntity* EntityManager::Spawn(const char* typeName, Net::Guid guid, INetworkProperties* host,
                                 const Vector3& position) {
    if (typeName == nullptr) return nullptr;
    if (std::strcmp(typeName, "Player") == 0) return new Player(guid, host, position);
    if (std::strcmp(typeName, "PhysicsEntity") == 0) return new PhysicsEntity(position, host, guid);
    return nullptr;
}

// --- players ---

PlayerRef EntityManager::SpawnPlayer(Net::Guid guid, INetworkProperties* host, const Vector3& position) {
    auto* player = new Player(host);
    player->guid = guid;
    player->simulatedState.motion.position = position;
    player->simulatedState.onGround = false;
    std::lock_guard<std::mutex> lock(mutex_);
    AddPlayerLocked(player);
    return PlayerRef(this, player);
}

void EntityManager::AddPlayer(Player* player) {
    std::lock_guard<std::mutex> lock(mutex_);
    AddPlayerLocked(player);
}

void EntityManager::AddPlayerLocked(Player* player) {
    players_.push_back(player);
    if (player->isLocal) localPlayer_ = player;
    if (listener_ != nullptr) listener_->PlayerAdded(player);
}

void EntityManager::RemovePlayerLocked(Player* player) {
    if (player->isLocal && localPlayer_ == player) localPlayer_ = nullptr;
    players_.erase(std::remove(players_.begin(), players_.end(), player), players_.end());
    if (listener_ != nullptr) listener_->PlayerRemoved(player);
}

void EntityManager::RemovePlayer(Player* player) {
    std::lock_guard<std::mutex> lock(mutex_);
    RemovePlayerLocked(player);
}

void EntityManager::DeletePlayer(Player* player) {
    if (player == nullptr) return;
    ForgetPlayer(player);
    delete player;  // the destructor's ForgetPlayer finds nothing left to do
}

void EntityManager::ForgetPlayer(Player* player) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool listed = std::find(players_.begin(), players_.end(), player) != players_.end();
        if (listed || localPlayer_ == player) RemovePlayerLocked(player);
    }
    // No new pin can be taken now that the player is unlisted.
    std::unique_lock<std::mutex> lock(pinMutex_);
    unpinned_.wait(lock, [player] { return player->pins_ == 0; });
}

Player* EntityManager::FindPlayerByGuid(Net::Guid guid) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Player* player : players_)
        if (player->guid == guid) return player;
    return nullptr;
}

PlayerRef EntityManager::FindPlayerRefByGuid(Net::Guid guid) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Player* player : players_)
        if (player->guid == guid) return PlayerRef(this, player);
    return PlayerRef();
}

std::vector<PlayerRef> EntityManager::CopyPlayers() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PlayerRef> copy;
    copy.reserve(players_.size());
    for (Player* player : players_) copy.push_back(PlayerRef(this, player));
    return copy;
}

std::vector<Player*> EntityManager::CopyPlayerPointers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return players_;
}

size_t EntityManager::GetPlayerCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return players_.size();
}

Player* EntityManager::GetLocalPlayer() {
    std::lock_guard<std::mutex> lock(mutex_);
    return localPlayer_;
}

// --- physics entities ---

void EntityManager::AddEntity(PhysicsEntity* entity) {
    std::lock_guard<std::mutex> lock(mutex_);
    entities_.push_back(entity);
    if (listener_ != nullptr) listener_->EntityAdded(entity);
}

void EntityManager::RemoveEntity(PhysicsEntity* entity) {
    std::lock_guard<std::mutex> lock(mutex_);
    entities_.erase(std::remove(entities_.begin(), entities_.end(), entity), entities_.end());
    if (listener_ != nullptr) listener_->EntityRemoved(entity);
}

size_t EntityManager::GetEntityCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return entities_.size();
}

void EntityManager::SetListener(IEntityListener* listener) {
    std::lock_guard<std::mutex> lock(mutex_);
    listener_ = listener;
}

}  // namespace Tav
