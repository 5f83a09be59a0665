#include "entities/PhysicsEntity.h"

#include "entities/EntityManager.h"
#include "entities/PhysicsManager.h"

namespace Tav {

PhysicsEntity::PhysicsEntity(INetworkProperties* hostEndpoint) : BaseEntity(hostEndpoint) {}

PhysicsEntity::PhysicsEntity(const Vector3& position, INetworkProperties* hostEndpoint, Net::Guid ownerGuid)
    : BaseEntity(hostEndpoint, ownerGuid) {
    displayState.position = position;
    simulatedState.position = position;
    g_entityManager.AddEntity(this);
    registered_ = true;
}

PhysicsEntity::~PhysicsEntity() {
    if (PhysicsManager* physics = physics_.load()) physics->RemoveEntity(this);
    if (registered_) g_entityManager.RemoveEntity(this);
}

void PhysicsEntity::SerializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* destination) {
    const MotionState copy = CopyState(false);
    WriteConstruction(constructionBitstream, destination, copy);
}

bool PhysicsEntity::DeserializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* source) {
    BaseEntity::DeserializeConstruction(constructionBitstream, source);
    if (!registered_) {
        g_entityManager.AddEntity(this);
        registered_ = true;
    }
    return true;
}

void PhysicsEntity::DeallocReplica(Net::Connection*) {
    // The destructor leaves the entity list and the physics world.
    delete this;
}

Net::SerializationResult PhysicsEntity::Serialize(Net::SerializeParameters* serializeParameters) {
    const MotionState copy = CopyState(false);
    return WriteState(serializeParameters, copy);
}

}  // namespace Tav
