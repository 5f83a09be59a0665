#pragma once
// A replicated rigid box whose motion comes from the physics world.
//
// The physics thread writes `simulatedState` (through EntityMotionState)
// while the network thread serialises it: both copy the whole state under
// the base's `mutex`, so a serialisation carries either the old or the new
// state, never a mixture.
//
// Forms: the base's construction form (704 bits after the marker text) and
// the base's serialisation (640 bits: ten doubles).
#include <atomic>

#include "entities/BaseEntity.h"

namespace Tav {

class PhysicsManager;

class PhysicsEntity : public BaseEntity {
public:
    // For the factory: unassigned GUID, new states, not registered.
    explicit PhysicsEntity(INetworkProperties* host);
    // For the server's spawn: both positions := position; registers itself in
    // the registry's entity list.
    PhysicsEntity(const Vector3& position, INetworkProperties* host, Net::Guid guid);
    // Takes the body out of the physics world if it still has one.
    ~PhysicsEntity() override;

    void SerializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* destination) override;
    bool DeserializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* source) override;
    void DeallocReplica(Net::Connection* source) override;
    Net::SerializationResult Serialize(Net::SerializeParameters* serializeParameters) override;
    const char* GetTypeName() const override { return "PhysicsEntity"; }
    void Update(double dt) override { BaseEntity::Update(dt); }
    MotionState& GetSimulatedState() override { return simulatedState; }
    MotionState& GetDisplayState() override { return displayState; }

    MotionState displayState;
    MotionState simulatedState;  // guarded by `mutex`

private:
    friend class PhysicsManager;
    // The manager whose world holds this entity's body, null when none does;
    // changed under that manager's world mutex.
    std::atomic<PhysicsManager*> physics_{nullptr};
    // Whether the entity is in the registry's entity list.
    bool registered_ = false;
};

}  // namespace Tav
