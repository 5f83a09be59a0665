#pragma once
// A client of the test itself that decodes what a server replicates: a real
// Net::Peer with a replica manager of its own, whose replicas record every
// construction, serialisation and destruction they receive, decoded with the
// entities' own value types (MotionState, PlayerState, PlayerInput,
// Inventory). Game messages (ID_PLAYER_SPAWNED, ID_CHUNK_DATA, ...) are kept
// too. Every event gets a number in arrival order, so tests can tell what
// came first. Everything runs on the thread that calls Pump.
//
//   TavTest::ReplicaClient client;
//   ASSERT_TRUE(client.Connect());
//   ASSERT_TRUE(client.WaitForOwnPlayer());
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/GameMessages.h"
#include "entities/Inventory.h"
#include "entities/PlayerInput.h"
#include "entities/PlayerState.h"
#include "net/BitStream.h"
#include "net/Peer.h"
#include "net/ReplicaManager.h"
#include "net/Types.h"
#include "world/BrickCatalogue.h"

namespace TavTest {

class ReplicaClient;

// One serialisation of an entity as received.
struct ReceivedState {
    Tav::PlayerState state;    // the motion state (and for players the tail)
    Tav::PlayerInput input;    // players only: the last input applied
    bool wholeInventory = false;  // players only: the inventory form was sent whole
    std::vector<int32_t> counts;  // players only: the counts after this one, by type id
    int event = 0;
};

// A replica that only records.
class SeenEntity : public Net::Replica {
public:
    SeenEntity(ReplicaClient* owner, std::string typeName) : owner_(owner), type(std::move(typeName)) {}

    void WriteAllocationID(Net::Connection*, Net::BitStream*) const override {}
    Net::ConstructionQuery QueryConstruction(Net::Connection*, Net::ReplicaManager*) override {
        return Net::ConstructionQuery::NeverConstruct;
    }
    bool QueryRemoteConstruction(Net::Connection*) override { return true; }
    void SerializeConstruction(Net::BitStream*, Net::Connection*) override {}
    bool DeserializeConstruction(Net::BitStream* stream, Net::Connection*) override;
    void SerializeDestruction(Net::BitStream*, Net::Connection*) override {}
    bool DeserializeDestruction(Net::BitStream*, Net::Connection*) override;
    Net::PopAction QueryActionOnPopConnection(Net::Connection*) const override { return Net::PopAction::DoNothing; }
    void DeallocReplica(Net::Connection*) override { released = true; }  // the client owns it
    Net::SerializationQuery QuerySerialization(Net::Connection*) override {
        return Net::SerializationQuery::NeverSerialize;
    }
    Net::SerializationResult Serialize(Net::SerializeParameters*) override { return Net::SERIALIZE_DO_NOT; }
    void Deserialize(Net::DeserializeParameters* parameters) override;

    bool IsPlayer() const { return type == "Player"; }
    const Tav::PlayerState& Latest() const { return states.empty() ? constructed : states.back().state; }

    ReplicaClient* owner_;
    std::string type;
    Net::Guid guid;
    Tav::PlayerState constructed;
    int constructedAt = -1;
    int destroyedAt = -1;
    bool released = false;
    std::vector<ReceivedState> states;
    Tav::Inventory inventory;
};

class ReplicaClient {
public:
    using Clock = std::chrono::steady_clock;

    ReplicaClient() : manager_(this) {
        peer_ = Net::Peer::GetInstance();
        Net::SocketDescriptor descriptor(0, "");
        if (peer_->Startup(1, &descriptor, 1) != Net::STARTED)
            throw std::runtime_error("the replica client's peer did not start");
        manager_.SetNetworkIdManager(&ids_);
        manager_.SetAutoManageConnections(true, true);
        peer_->AttachPlugin(&manager_);
    }
    ~ReplicaClient() {
        if (peer_) {
            peer_->DetachPlugin(&manager_);
            Net::Peer::DestroyInstance(peer_);
        }
    }
    ReplicaClient(const ReplicaClient&) = delete;
    ReplicaClient& operator=(const ReplicaClient&) = delete;

    // Connects to 127.0.0.1:port and waits for the acceptance.
    bool Connect(std::chrono::milliseconds deadline = std::chrono::seconds(30), uint16_t port = 37373) {
        // An unanswered attempt (a server not listening yet) is made again
        // until the deadline; a server that says it is full is an answer.
        const auto end = Clock::now() + deadline;
        do {
            attemptFailed_ = false;
            if (peer_->Connect("127.0.0.1", port, nullptr, 0) != Net::CONNECTION_ATTEMPT_STARTED) return false;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (!Pump([this] { return accepted_ || failed_ || attemptFailed_; }, left)) return false;
        } while (attemptFailed_ && Clock::now() < end);
        return accepted_;
    }
    // Closes the connection (the server hears 21) and stops the peer.
    void Leave() {
        peer_->DetachPlugin(&manager_);
        Net::Peer::DestroyInstance(peer_);
        peer_ = nullptr;
    }

    bool Send(const Net::BitStream& stream) {
        return peer_->Send(&stream, Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, 0, Net::AddressOrGuid(server_),
                           false) != 0;
    }

    // Drains the peer until done() holds or the deadline passes.
    bool Pump(const std::function<bool()>& done, std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        const auto end = Clock::now() + deadline;
        for (;;) {
            bool any = false;
            while (Net::Packet* p = peer_->Receive()) {
                any = true;
                Take(*p);
                peer_->DeallocatePacket(p);
                if (done()) return true;
            }
            if (done()) return true;
            if (Clock::now() >= end) return false;
            if (!any) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Drains the peer until the spawn notice and the own player's first
    // serialisation have come; false at the deadline.
    bool WaitForOwnPlayer(std::chrono::milliseconds deadline = std::chrono::seconds(30)) {
        return Pump(
            [this] {
                const SeenEntity* own = Own();
                return own && !own->states.empty() && CountOf(Tav::ID_PLAYER_SPAWNED) > 0;
            },
            deadline);
    }

    // The entities received, in construction order.
    const std::vector<std::unique_ptr<SeenEntity>>& Entities() const { return entities_; }
    SeenEntity* PlayerOf(Net::Guid guid) const {
        for (const auto& e : entities_)
            if (e->IsPlayer() && e->constructedAt >= 0 && e->guid == guid) return e.get();
        return nullptr;
    }
    SeenEntity* Own() const { return PlayerOf(MyGuid()); }
    SeenEntity* FirstOfType(const std::string& type) const {
        for (const auto& e : entities_)
            if (e->type == type && e->constructedAt >= 0) return e.get();
        return nullptr;
    }

    struct Message {
        std::vector<unsigned char> data;
        int event;
    };
    // Game messages with the identifier, in arrival order.
    std::vector<Message> MessagesWithId(unsigned char id) const {
        std::vector<Message> out;
        for (const auto& m : messages_)
            if (!m.data.empty() && m.data[0] == id) out.push_back(m);
        return out;
    }
    size_t CountOf(unsigned char id) const { return MessagesWithId(id).size(); }

    Net::Guid MyGuid() const { return peer_ ? peer_->GetMyGUID() : myGuid_; }
    int NextEvent() { return nextEvent_++; }

private:
    class Connection : public Net::Connection {
    public:
        Connection(const Net::SystemAddress& address, Net::Guid guid, ReplicaClient* owner)
            : Net::Connection(address, guid), owner_(owner) {}
        Net::Replica* AllocReplica(Net::BitStream* allocationId, Net::ReplicaManager*) override {
            Net::String name;
            if (!name.Deserialize(allocationId)) return nullptr;
            owner_->entities_.push_back(std::make_unique<SeenEntity>(owner_, name.Str()));
            return owner_->entities_.back().get();
        }

    private:
        ReplicaClient* owner_;
    };

    class Manager : public Net::ReplicaManager {
    public:
        explicit Manager(ReplicaClient* owner) : owner_(owner) {}
        Net::Connection* AllocConnection(const Net::SystemAddress& address, Net::Guid guid) const override {
            return new Connection(address, guid, owner_);
        }
        void DeallocConnection(Net::Connection* connection) const override { delete connection; }

    private:
        ReplicaClient* owner_;
    };

    void Take(const Net::Packet& p) {
        if (!p.data || p.length == 0) return;
        const unsigned char id = p.data[0];
        if (id == Net::ID_CONNECTION_REQUEST_ACCEPTED) {
            accepted_ = true;
            server_ = p.guid;
            myGuid_ = peer_->GetMyGUID();
        } else if (id == Net::ID_CONNECTION_ATTEMPT_FAILED) {
            attemptFailed_ = true;
        } else if (id == Net::ID_NO_FREE_INCOMING_CONNECTIONS) {
            failed_ = true;
        }
        messages_.push_back({std::vector<unsigned char>(p.data, p.data + p.length), NextEvent()});
    }

    // Destroyed last: the manager hands its replicas back before they go.
    std::vector<std::unique_ptr<SeenEntity>> entities_;
    Net::NetworkIdManager ids_;
    Manager manager_;
    Net::Peer* peer_ = nullptr;
    Net::Guid server_;
    Net::Guid myGuid_;
    bool accepted_ = false;
    bool failed_ = false;
    bool attemptFailed_ = false;
    int nextEvent_ = 0;
    std::vector<Message> messages_;
};

inline bool SeenEntity::DeserializeConstruction(Net::BitStream* stream, Net::Connection*) {
    Net::String marker;
    marker.Deserialize(stream);
    stream->Read(guid.g);
    constructed.motion.Read(stream);
    if (IsPlayer()) constructed.ReadTail(stream);
    constructedAt = owner_->NextEvent();
    return true;
}

inline bool SeenEntity::DeserializeDestruction(Net::BitStream*, Net::Connection*) {
    destroyedAt = owner_->NextEvent();
    return true;
}

inline void SeenEntity::Deserialize(Net::DeserializeParameters* parameters) {
    if (!parameters->bitstreamWrittenTo[0]) return;
    Net::BitStream* in = &parameters->serializationBitstream[0];
    ReceivedState r;
    r.state = Latest();
    r.state.motion.Read(in);
    if (IsPlayer()) {
        r.state.ReadTail(in);
        r.input.Deserialize(in);
        r.wholeInventory = in->GetNumberOfUnreadBits() > 1;
        inventory.Deserialize(in);
        for (const auto& slot : inventory.slots) r.counts.push_back(slot.count);
    }
    r.event = owner_->NextEvent();
    states.push_back(r);
}

}  // namespace TavTest
