#pragma once
// Object replication over a Peer. The replica manager is a plug-in of the
// peer: everything it does to replicas (construction, serialisation ticks,
// destruction, deallocation) runs inside Peer::Receive, on the thread that
// drains the peer. Reference, Dereference and BroadcastDestruction may be
// called from any thread.
#include <atomic>
#include <cstdint>
#include <memory>

#include "net/BitStream.h"
#include "net/PluginInterface.h"
#include "net/Types.h"

namespace Net {

class Connection;
class NetworkIdManager;
class ReplicaManager;

using NetworkId = uint64_t;
inline constexpr NetworkId UNASSIGNED_NETWORK_ID = 0xFFFFFFFFFFFFFFFFull;

// The replica manager's messages (docs/protocol.md gives their layouts). The
// other ids up to ID_REPLICA_LAST are reserved; all of them are consumed.
inline constexpr uint8_t ID_REPLICA_CONSTRUCTION = ID_REPLICA_FIRST;       // 50
inline constexpr uint8_t ID_REPLICA_DESTRUCTION = ID_REPLICA_FIRST + 1;    // 51
inline constexpr uint8_t ID_REPLICA_SERIALIZATION = ID_REPLICA_FIRST + 2;  // 52
// The serialisations of one tick to one connection that travel the same way,
// in one message (what the automatic tick sends).
inline constexpr uint8_t ID_REPLICA_SERIALIZATION_BATCH = ID_REPLICA_FIRST + 3;  // 53

// An object that carries a network identifier, unique per peer, assigned by
// the side that references it and carried by every replication message.
class NetworkIdObject {
public:
    NetworkIdObject() = default;
    virtual ~NetworkIdObject();
    NetworkId GetNetworkID() const { return networkId_; }
    NetworkIdManager* GetNetworkIDManager() const { return manager_; }

private:
    friend class NetworkIdManager;
    NetworkId networkId_ = UNASSIGNED_NETWORK_ID;
    NetworkIdManager* manager_ = nullptr;
};

class NetworkIdManager {
public:
    NetworkIdManager();
    ~NetworkIdManager();
    // Gives the object a new identifier of this manager.
    NetworkId Assign(NetworkIdObject* object);
    // Files the object under an identifier that another peer chose.
    void Register(NetworkIdObject* object, NetworkId id);
    void Unregister(NetworkIdObject* object);
    NetworkIdObject* Get(NetworkId id) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

enum class ConstructionQuery { SendConstruction, NoAction, NeverConstruct };
enum class SerializationQuery { CanSerialize, NeverSerialize };
enum class PopAction { DoNothing, Delete, DeleteAndBroadcastDestruction };

// Results of Replica::Serialize.
enum SerializationResult : int {
    // The same data goes to every connection; sent to a connection only when
    // it differs from what was last sent there.
    SERIALIZE_BROADCAST_IDENTICALLY = 0,
    // Made per connection; sent only when it differs from what was last sent there.
    SERIALIZE_UNIQUELY = 1,
    // Nothing this tick.
    SERIALIZE_DO_NOT = 2,
    // The same data to every connection, sent every tick even when unchanged.
    SERIALIZE_ALWAYS_IDENTICALLY = 3,
};

inline constexpr int REPLICA_CHANNEL_COUNT = 8;

struct SerializeParameters {
    BitStream outputBitstream[REPLICA_CHANNEL_COUNT];
    // Reliability of each output channel; RELIABLE_ORDERED unless set.
    PacketReliability reliability[REPLICA_CHANNEL_COUNT];
    PacketPriority priority = HIGH_PRIORITY;
    char orderingChannel = 0;
    // The connection the serialisation is made for; with a result that goes to
    // every connection identically, the first of them.
    Connection* destinationConnection = nullptr;
    uint32_t curTimeMs = 0;
    SerializeParameters();
};

struct DeserializeParameters {
    BitStream serializationBitstream[REPLICA_CHANNEL_COUNT];
    bool bitstreamWrittenTo[REPLICA_CHANNEL_COUNT] = {};
    Connection* sourceConnection = nullptr;
};

class Replica : public NetworkIdObject {
public:
    Replica();
    // A replica that is destroyed leaves its replica manager.
    ~Replica() override;

    virtual void WriteAllocationID(Connection* destination, BitStream* allocationIdBitstream) const = 0;
    virtual ConstructionQuery QueryConstruction(Connection* destination, ReplicaManager* replicaManager) = 0;
    virtual bool QueryRemoteConstruction(Connection* source) = 0;
    virtual void SerializeConstruction(BitStream* constructionBitstream, Connection* destination) = 0;
    virtual bool DeserializeConstruction(BitStream* constructionBitstream, Connection* source) = 0;
    virtual void PostDeserializeConstruction(Connection* source) {}
    // Asked at every serialisation tick for each connection the replica is
    // constructed on: true destroys it there (its destruction is sent), and it
    // is not constructed on that connection again.
    virtual bool QueryDestruction(Connection* destination) { return false; }
    virtual bool QueryRelayDestruction(Connection* source) const { return true; }
    virtual void SerializeDestruction(BitStream* destructionBitstream, Connection* destination) = 0;
    // A received destruction: true lets the manager end the replica
    // (PreDestruction, DeallocReplica); false keeps the object, which leaves
    // the manager all the same and belongs to the application from then on.
    virtual bool DeserializeDestruction(BitStream* destructionBitstream, Connection* source) = 0;
    virtual void PreDestruction(Connection* source) {}
    virtual PopAction QueryActionOnPopConnection(Connection* droppedConnection) const = 0;
    virtual void OnPoppedConnection(Connection* droppedConnection) {}
    // Ends a replica that the replica manager holds (typically: delete this).
    virtual void DeallocReplica(Connection* source) = 0;
    virtual SerializationQuery QuerySerialization(Connection* destination) = 0;
    virtual void OnUserReplicaPreSerializeTick() {}
    virtual SerializationResult Serialize(SerializeParameters* serializeParameters) = 0;
    virtual void Deserialize(DeserializeParameters* deserializeParameters) = 0;

    // Rule helpers. The server constructs every replica on every connection
    // and is the only side that serialises; a client accepts constructions
    // from the server only.
    ConstructionQuery QueryConstruction_ServerConstruction(Connection* destination, bool isThisTheServer);
    bool QueryRemoteConstruction_ServerConstruction(Connection* source, bool isThisTheServer);
    SerializationQuery QuerySerialization_ServerSerializable(Connection* destination, bool isThisTheServer);
    // On the server: a replica that this peer made stays when a connection
    // drops; one made by the dropped peer is deleted and its destruction broadcast.
    PopAction QueryActionOnPopConnection_Server(Connection* droppedConnection) const;

    // Sends the destruction to every connection on which this peer
    // constructed the replica and leaves the replica manager (the object
    // itself is not deleted). Safe from any thread; once it returns the
    // manager no longer touches the replica, so the caller may delete it.
    void BroadcastDestruction();

    // The GUID of the peer that created the replica (the referencing peer).
    Guid GetCreatingSystemGuid() const { return creatingSystemGuid_; }
    ReplicaManager* GetReplicaManager() const { return replicaManager_.load(); }

private:
    friend class ReplicaManager;
    std::atomic<ReplicaManager*> replicaManager_{nullptr};
    Guid creatingSystemGuid_;
};

// One remote peer as the replica manager sees it.
class Connection {
public:
    Connection(const SystemAddress& address, Guid guid);
    virtual ~Connection();
    // Makes a replica for a construction that arrived; null refuses it. The
    // stream holds what the sender's WriteAllocationID wrote.
    virtual Replica* AllocReplica(BitStream* allocationIdBitstream, ReplicaManager* replicaManager) = 0;
    const SystemAddress& GetSystemAddress() const { return address_; }
    Guid GetGuid() const { return guid_; }

private:
    SystemAddress address_;
    Guid guid_;
};

class ReplicaManager : public PluginInterface {
public:
    ReplicaManager();
    // Received replicas still held are given back (DeallocReplica); the
    // application's own are let go. Detach the manager first: connections
    // that are still held then are deleted directly.
    ~ReplicaManager() override;

    virtual Connection* AllocConnection(const SystemAddress& address, Guid guid) const = 0;
    virtual void DeallocConnection(Connection* connection) const = 0;

    void SetNetworkIdManager(NetworkIdManager* manager);
    NetworkIdManager* GetNetworkIdManager() const;
    // Connections are created (AllocConnection) as peers connect; when a peer
    // leaves, its connection is popped and, with autoDestroy, given back
    // (DeallocConnection). Detaching the manager or shutting the peer down
    // pops every connection without sending destructions.
    void SetAutoManageConnections(bool autoCreate, bool autoDestroy);
    // Interval of the automatic serialisation tick in ms; negative (the
    // default): no tick.
    void SetAutoSerializeInterval(int intervalMs);

    // Hands a replica to the manager: it gets a network identifier and is
    // constructed on every connection that its query allows, connections that
    // arrive later included. Safe from any thread.
    void Reference(Replica* replica);
    // Takes a replica out without destroying it remotely. Safe from any thread.
    void Dereference(Replica* replica);
    // See Replica::BroadcastDestruction. A received replica only leaves the
    // manager. Do not call it (nor delete a replica still in the manager)
    // while holding a lock that a replica operation takes.
    void BroadcastDestruction(Replica* replica);

    // Queries (receive thread).
    unsigned GetReplicaCount() const;
    unsigned GetConnectionCount() const;
    Connection* GetConnectionByGuid(Guid guid) const;

    // Plug-in callbacks.
    void OnAttach() override;
    void OnDetach() override;
    void Update() override;
    PluginReceiveResult OnReceive(Packet* packet) override;
    void OnNewConnection(const SystemAddress& address, Guid guid, bool isIncoming) override;
    void OnClosedConnection(const SystemAddress& address, Guid guid, LostConnectionReason reason) override;
    void OnPeerShutdown() override;

    struct Impl;

private:
    void Release(Replica* replica, bool sendDestruction);
    std::unique_ptr<Impl> impl_;
};

}  // namespace Net
