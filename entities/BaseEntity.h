#pragma once
// The base of every replicated world object (players and physics entities).
//
// Replication rules: the server constructs every entity on every connection
// and is the only side that serialises; a client accepts constructions from
// the server. Every replica operation runs on the thread that drains the
// network peer.
//
// Wire forms written here (each item follows the previous one with no
// alignment; doubles and integers big-endian):
//   allocation id:  text, the type name ("Player", "PhysicsEntity")
//   construction:   text "<type> SerializeConstruction", u64 guid, ten doubles
//                   of the simulated motion state (subclasses may append)
//   destruction:    text "<type> SerializeDestruction"
//   serialisation:  output channel 0 (unreliable sequenced): ten doubles
//                   (subclasses may append)
//
// Every entity holds a simulated state (authoritative) and a display state
// (smoothed toward the simulated one by Update, for presentation); only the
// simulated state travels. The subclass owns both.
//
// Locking: `mutex` guards the entity's states against other threads (see
// the subclasses). It is never held while another entity's mutex or the
// registry mutex is taken. Its place in the program's lock order:
// core/LockOrder.h.
#include <mutex>
#include <string>

#include "core/INetworkProperties.h"
#include "entities/MotionState.h"
#include "net/ReplicaManager.h"

namespace Tav {

class BaseEntity : public Net::Replica {
public:
    // Library operations.
    ~BaseEntity() override;
    void WriteAllocationID(Net::Connection* destination, Net::BitStream* allocationIdBitstream) const override;
    Net::ConstructionQuery QueryConstruction(Net::Connection* destination, Net::ReplicaManager* replicaManager) override;
    bool QueryRemoteConstruction(Net::Connection* source) override;
    void SerializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* destination) override;
    bool DeserializeConstruction(Net::BitStream* constructionBitstream, Net::Connection* source) override;
    void SerializeDestruction(Net::BitStream* destructionBitstream, Net::Connection* destination) override;
    bool DeserializeDestruction(Net::BitStream* destructionBitstream, Net::Connection* source) override;
    Net::PopAction QueryActionOnPopConnection(Net::Connection* droppedConnection) const override;
    void DeallocReplica(Net::Connection* source) override;
    Net::SerializationQuery QuerySerialization(Net::Connection* destination) override;
    Net::SerializationResult Serialize(Net::SerializeParameters* serializeParameters) override;
    void Deserialize(Net::DeserializeParameters* deserializeParameters) override;

    // Entity operations.
    virtual const char* GetTypeName() const = 0;
    virtual Vector3& GetPosition(bool display);
    virtual Vector3& GetVelocity(bool display);
    virtual Quaternion& GetRotation(bool display);
    // Moves the display state toward the simulated state (receiving side).
    virtual void Update(double dt);
    virtual void WriteConstruction(Net::BitStream* stream, Net::Connection* destination, const MotionState& state);
    virtual Net::SerializationResult WriteState(Net::SerializeParameters* parameters, const MotionState& state);
    virtual void ReadState(Net::DeserializeParameters* parameters, MotionState& state);
    virtual MotionState& GetSimulatedState() = 0;
    virtual MotionState& GetDisplayState() = 0;

    Net::String GetTypeNameString() const { return Net::String(GetTypeName()); }
    // Net::Guid::ToUint32 of the owner's GUID.
    uint32_t GetGuidAsInteger() const { return guid.ToUint32(); }

    // A copy of the chosen motion state taken under `mutex`: the way for
    // threads other than the one that drains the peer to read an entity.
    MotionState CopyState(bool display);
    Vector3 CopyPosition(bool display) { return CopyState(display).position; }

    std::mutex mutex;
    INetworkProperties* host = nullptr;  // not owned
    Net::Guid guid;                      // owner of the entity

protected:
    BaseEntity(INetworkProperties* host, Net::Guid guid = Net::UNASSIGNED_GUID);
    BaseEntity(const BaseEntity&) = delete;
    BaseEntity& operator=(const BaseEntity&) = delete;

    bool HostIsServer() const { return host != nullptr && host->IsServer(); }
    bool IsOwnGuid() const { return host != nullptr && guid == host->GetMyGUID(); }
    // Reads the common construction form into guid and `state`.
    void ReadConstruction(Net::BitStream* stream, MotionState& state);
    // The "Added local/other <what>" debugger line.
    void PrintAddedLine(const char* what) const;
    // The display smoothing of Update, on the given states.
    static void Smooth(MotionState& display, const MotionState& simulated, double dt);
};

// min(dt, 1/15) * 15; a NaN dt counts as at least 1/15.
double SmoothingFactor(double dt);

}  // namespace Tav
