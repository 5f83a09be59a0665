#pragma once
// The replicated avatar of one connected peer.
//
// Forms (after the base's; see BaseEntity.h):
//   construction:  + player-state tail (three doubles facing, bit onGround,
//                  bit running): 194 bits more than a physics entity
//   serialisation: ten doubles, tail, the PlayerInput form of lastInput,
//                  the inventory form: 1289 bits with an unchanged
//                  inventory, 1289 + 32 + 64 n bits after a change. Output
//                  channel 0 is unreliable sequenced, except for the one
//                  serialisation that carries the whole inventory, which
//                  goes reliable ordered.
//
// Threads. The network thread moves (ApplyInput), serialises and deletes
// players; the chunk worker fills a new player's inventory and runs held
// items; scripts push players. Every read or write of a player's state from
// any of them takes the player's `mutex` (the base's): the replica
// operations, ApplyInput, the inventory helpers, PushPlayer and CopyState
// all do. The sweep's occupancy tests take the octree mutex inside it, and
// the registry mutex may be held when a player mutex is taken, never the
// reverse (the whole order: core/LockOrder.h).
//
// Lifetime: players are deleted through EntityManager::DeletePlayer, which
// takes the player out of the registry and waits until no PlayerRef pins it.
//
// World: movement tests cells through the IBoxOccupancy installed with
// Player::SetOccupancy (the server installs its chunk manager). Without one,
// only the world floor (cell rows below 0) blocks.
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "entities/BaseEntity.h"
#include "entities/Inventory.h"
#include "entities/PlayerState.h"
#include "math/Vector3i.h"

namespace Tav {

class IBoxOccupancy;
class EntityManager;
class ItemWrapper;
class PlayerRef;

class Player : public BaseEntity {
public:
    static constexpr int kHistorySize = 1024;

    // For the factory: unassigned GUID, not registered.
    explicit Player(INetworkProperties* host);
    // For the server's spawn: simulated position := position, then registered
    // (EntityManager::AddPlayer). The display state stays at the origin.
    Player(Net::Guid guid, INetworkProperties* host, const Vector3& position);
    ~Player() override;

    void SerializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* destination) override;
    bool DeserializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* source) override;
    void DeallocReplica(Net::Connection* source) override;
    Net::SerializationResult Serialize(Net::SerializeParameters* serializeParameters) override;
    void Deserialize(Net::DeserializeParameters* deserializeParameters) override;
    const char* GetTypeName() const override { return "Player"; }
    void Update(double dt) override;
    MotionState& GetSimulatedState() override { return simulatedState.motion; }
    MotionState& GetDisplayState() override { return displayState.motion; }

    // Applies one input of a client (network thread): dt := time since the
    // last input, cut to 1 s; moves; remembers the input. Takes the player's
    // mutex. An input with a number that is not finite is dropped; a move
    // vector longer than 1 is cut to length 1; a time that does not advance
    // moves nothing (ApplyControls only: the sweep waits for the next input).
    void ApplyInput(const PlayerInput& input);
    // One move (caller holds the mutex): the input's controls, then the
    // collision sweep when 2.5 dt < 1.
    void Move(const PlayerInput& input, double dt);
    // The controls of an input (caller holds the mutex): running, facing,
    // the walk velocity, and a jump when on the ground.
    void ApplyControls(const PlayerInput& input);
    // The axis-by-axis sweep through the cells (caller holds the mutex). An
    // axis move that would carry the body through an occupied cell is
    // refused like one whose end is blocked.
    void SweepCollision(double t);
    // Whether the body, carried straight from `from` to `to`, passes through
    // an occupied cell: one that its cell box covers at some step of the
    // way, in steps no longer than half a cell on every axis, but covers at
    // neither end (the ends are the sweep's own tests). False for ways no
    // longer than half a cell.
    bool PassesThroughCell(const Vector3& from, const Vector3& to) const;
    // Replays the recorded moves against an acknowledged server state
    // (receiving side, own player; caller holds the mutex).
    void Reconcile(const PlayerInput& acknowledged, const PlayerState& serverState);

    // Script operation: every later sweep adds push to each axis move.
    void PushPlayer(const Vector3& push);
    // Inventory access from any thread, under the player's mutex.
    void AddToInventory(const BrickType& type, int32_t amount);
    int32_t GetInventoryCount(const BrickType& type);
    // A copy of the whole simulated (or display) player state, under the mutex.
    PlayerState CopyPlayerState(bool display);

    // Held item. The player's copy of a script's item, linked weakly to its
    // script object (entities/Item.h). heldItem and hasItem are guarded by
    // the Lua lock, not by `mutex`: SetItem, the held-item step and the script
    // host's closing read and write them with the Lua lock held. The
    // destructor hands the item to DeferItemRelease, so a player deleted on
    // the network thread never waits for the Lua lock.
    //
    // Gives the player its own copy of item, a wrapper that a script made (it
    // is linked to its script object), releasing an earlier one; then
    // hasItem := true. Nothing clears hasItem again.
    void SetItem(ItemWrapper item);

    static void SetOccupancy(IBoxOccupancy* occupancy);
    static IBoxOccupancy* GetOccupancy();

    Vector3 push{0.0, 0.0, 0.0};
    Vector3i blockMin{0, 0, 0};
    Vector3i blockMax{0, 0, 0};
    PlayerState displayState;
    PlayerState simulatedState;
    PlayerInput lastInput;
    Inventory inventory;
    // The counts changed since the last serialisation (under `mutex`).
    bool inventoryEdited = false;
    bool isLocal = false;
    int32_t historyWrite = 0;
    int32_t historyRead = 0;
    std::vector<MoveRecord> history;
    std::unique_ptr<ItemWrapper> heldItem;  // empty until SetItem
    bool hasItem = false;

private:
    friend class EntityManager;
    friend class PlayerRef;
    bool IsBoxOccupied(const Vector3i& min, const Vector3i& max) const;
    int pins_ = 0;  // PlayerRefs alive; guarded by the registry's pin mutex
    static std::atomic<IBoxOccupancy*> occupancy_;
};

}  // namespace Tav
