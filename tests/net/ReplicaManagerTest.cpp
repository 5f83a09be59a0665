// Object replication between real peers on 127.0.0.1.
#include "net/ReplicaManager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "net/Peer.h"

using namespace std::chrono_literals;

namespace {

struct Node;

std::atomic<int> g_deallocated{0};

// A replica holding one int on output channel 0 and, when asked, a second on
// channel 1. Its own type name is its allocation id; its construction form
// is the int.
class Box : public Net::Replica {
public:
    Box(bool server, std::string typeName = "Box", int32_t initial = 0)
        : isServer(server), type(std::move(typeName)), value(initial) {}
    ~Box() override;

    // Set up before the box is referenced.
    bool isServer;
    std::string type;
    int32_t value;
    int32_t extra = 0;
    bool useExtra = false;
    bool oddBit = false;  // a bit after the value: the entry ends inside a byte
    bool holdConstruction = false;  // QueryConstruction answers NoAction
    Net::SerializationResult result = Net::SERIALIZE_BROADCAST_IDENTICALLY;
    bool acceptRemote = true;
    bool acceptConstruction = true;
    bool acceptDestruction = true;
    std::optional<Net::PopAction> popAction;
    Net::Guid destroyOn;  // QueryDestruction answers true for this peer's connection
    std::function<void()> onPreTick;
    Node* home = nullptr;  // receiving side: the node whose factory made it

    // Observed on the draining thread.
    int serializeCalls = 0;
    int preTicks = 0;
    int deserializeCalls = 0;
    int postConstructions = 0;
    uint64_t seenGuid = 0;
    std::array<bool, Net::REPLICA_CHANNEL_COUNT> lastWritten{};
    std::vector<Net::Connection*> serializedFor;

    void WriteAllocationID(Net::Connection*, Net::BitStream* out) const override {
        Net::String(type).Serialize(out);
    }
    Net::ConstructionQuery QueryConstruction(Net::Connection* to, Net::ReplicaManager*) override {
        if (holdConstruction) return Net::ConstructionQuery::NoAction;
        return QueryConstruction_ServerConstruction(to, isServer);
    }
    bool QueryRemoteConstruction(Net::Connection* from) override {
        return acceptRemote && QueryRemoteConstruction_ServerConstruction(from, isServer);
    }
    void SerializeConstruction(Net::BitStream* out, Net::Connection*) override { out->Write(value); }
    bool DeserializeConstruction(Net::BitStream* in, Net::Connection*) override {
        in->Read(value);
        return acceptConstruction;
    }
    void PostDeserializeConstruction(Net::Connection*) override;
    void SerializeDestruction(Net::BitStream* out, Net::Connection*) override { Net::String("gone").Serialize(out); }
    bool DeserializeDestruction(Net::BitStream*, Net::Connection*) override { return acceptDestruction; }
    bool QueryDestruction(Net::Connection* to) override { return to->GetGuid() == destroyOn; }
    Net::PopAction QueryActionOnPopConnection(Net::Connection* dropped) const override {
        return popAction ? *popAction : QueryActionOnPopConnection_Server(dropped);
    }
    void DeallocReplica(Net::Connection*) override {
        ++g_deallocated;
        delete this;
    }
    Net::SerializationQuery QuerySerialization(Net::Connection* to) override {
        return QuerySerialization_ServerSerializable(to, isServer);
    }
    void OnUserReplicaPreSerializeTick() override {
        ++preTicks;
        if (onPreTick) onPreTick();
    }
    Net::SerializationResult Serialize(Net::SerializeParameters* p) override {
        ++serializeCalls;
        serializedFor.push_back(p->destinationConnection);
        p->reliability[0] = Net::UNRELIABLE_SEQUENCED;
        p->outputBitstream[0].Write(value);
        if (result == Net::SERIALIZE_UNIQUELY) p->outputBitstream[0].Write(p->destinationConnection->GetGuid().g);
        if (oddBit) p->outputBitstream[0].Write1();
        if (useExtra) p->outputBitstream[1].Write(extra);
        return result;
    }
    void Deserialize(Net::DeserializeParameters* p) override {
        ++deserializeCalls;
        std::copy(std::begin(p->bitstreamWrittenTo), std::end(p->bitstreamWrittenTo), lastWritten.begin());
        if (p->bitstreamWrittenTo[0]) {
            p->serializationBitstream[0].Read(value);
            p->serializationBitstream[0].Read(seenGuid);
        }
        if (p->bitstreamWrittenTo[1]) p->serializationBitstream[1].Read(extra);
    }
};

// Turns allocation ids into boxes; "RejectRemote", "BadConstruction" and
// "KeepOnDestroy" make boxes that refuse one step; anything else is refused.
class TestConnection : public Net::Connection {
public:
    TestConnection(const Net::SystemAddress& a, Net::Guid g, Node* n) : Net::Connection(a, g), node(n) {}
    Net::Replica* AllocReplica(Net::BitStream* in, Net::ReplicaManager*) override;
    Node* node;
};

class TestManager : public Net::ReplicaManager {
public:
    explicit TestManager(Node* n) : node(n) {}
    Net::Connection* AllocConnection(const Net::SystemAddress& a, Net::Guid g) const override {
        ++allocated;
        return new TestConnection(a, g, node);
    }
    void DeallocConnection(Net::Connection* c) const override {
        ++deallocated;
        delete c;
    }
    Node* node;
    mutable int allocated = 0;
    mutable int deallocated = 0;
};

// One peer with a replica manager on an ephemeral port; pumped by the test thread.
// A plug-in that records the replication messages a peer receives, before
// its replica manager consumes them.
struct WireRecorder : Net::PluginInterface {
    Net::PluginReceiveResult OnReceive(Net::Packet* p) override {
        if (p->length > 0 && p->data[0] >= Net::ID_REPLICA_FIRST && p->data[0] <= Net::ID_REPLICA_LAST)
            messages.emplace_back(p->data, p->data + p->length);
        return Net::RR_CONTINUE_PROCESSING;
    }
    std::vector<std::vector<unsigned char>> messages;
};

struct Node {
    explicit Node(bool server, unsigned maxConnections = 4, Net::PluginInterface* first = nullptr)
        : isServer(server) {
        Net::SocketDescriptor sd(0, "127.0.0.1");
        peer->Startup(maxConnections, &sd, 1);
        peer->SetMaximumIncomingConnections(maxConnections);
        if (first) peer->AttachPlugin(first);
        peer->AttachPlugin(&manager);
        manager.SetAutoManageConnections(true, true);
        manager.SetAutoSerializeInterval(10);
    }
    ~Node() {
        peer->DetachPlugin(&manager);
        Net::Peer::DestroyInstance(peer);
    }
    void Pump() {
        while (Net::Packet* p = peer->Receive()) {
            if (p->length > 0) appIds.push_back(p->data[0]);
            peer->DeallocatePacket(p);
        }
    }
    void ConnectTo(uint16_t port) { peer->Connect("127.0.0.1", port, nullptr, 0); }
    uint16_t Port() const { return peer->GetBoundPort(); }
    Net::Guid Guid() const { return peer->GetMyGUID(); }
    Box* Find(Net::NetworkId id) const {
        for (Box* b : received)
            if (b->GetNetworkID() == id) return b;
        return nullptr;
    }
    bool SawLibraryMessage() const {
        return std::any_of(appIds.begin(), appIds.end(),
                           [](uint8_t id) { return id >= Net::ID_REPLICA_FIRST && id <= Net::ID_REPLICA_LAST; });
    }

    bool isServer;
    int allocations = 0;
    std::vector<Box*> received;  // declared before the manager, which may free boxes as it goes
    std::vector<uint8_t> appIds;
    TestManager manager{this};
    Net::Peer* peer = Net::Peer::GetInstance();
};

Box::~Box() {
    if (home) home->received.erase(std::remove(home->received.begin(), home->received.end(), this), home->received.end());
}

void Box::PostDeserializeConstruction(Net::Connection*) {
    ++postConstructions;
    if (home) home->received.push_back(this);
}

Net::Replica* TestConnection::AllocReplica(Net::BitStream* in, Net::ReplicaManager*) {
    Net::String name;
    name.Deserialize(in);
    ++node->allocations;
    const std::string& n = name.Str();
    if (n != "Box" && n != "RejectRemote" && n != "BadConstruction" && n != "KeepOnDestroy") return nullptr;
    Box* b = new Box(node->isServer, n);
    b->home = node;
    b->acceptRemote = n != "RejectRemote";
    b->acceptConstruction = n != "BadConstruction";
    b->acceptDestruction = n != "KeepOnDestroy";
    return b;
}

template <class Pred>
bool PumpUntil(std::initializer_list<Node*> nodes, Pred done, std::chrono::milliseconds limit = 5000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        for (Node* n : nodes) n->Pump();
        if (done()) return true;
        std::this_thread::sleep_for(1ms);
    }
    return done();
}

// Pumps for a while; for checks that something does not arrive.
void PumpFor(std::initializer_list<Node*> nodes, std::chrono::milliseconds span) {
    PumpUntil(nodes, [] { return false; }, span);
}

void Connect(Node& client, Node& server) {
    const unsigned before = server.manager.GetConnectionCount();
    client.ConnectTo(server.Port());
    ASSERT_TRUE(PumpUntil({&client, &server}, [&] {
        return client.manager.GetConnectionCount() == 1 && server.manager.GetConnectionCount() == before + 1;
    }));
}

}  // namespace

TEST(NetworkIdManager, AssignsUniqueIdsFilesForeignOnesAndLetsGo) {
    auto manager = std::make_unique<Net::NetworkIdManager>();
    Box a(true), b(true), foreign(false), clash(false);
    const Net::NetworkId ia = manager->Assign(&a), ib = manager->Assign(&b);
    EXPECT_NE(ia, ib);
    EXPECT_NE(ia, Net::UNASSIGNED_NETWORK_ID);
    EXPECT_EQ(a.GetNetworkID(), ia);
    EXPECT_EQ(manager->Get(ib), &b);

    manager->Register(&foreign, 1000);
    manager->Register(&clash, 1000);  // a second sender's copy of the same number
    EXPECT_EQ(manager->Get(1000), &foreign);
    EXPECT_EQ(clash.GetNetworkID(), 1000u);

    manager->Unregister(&clash);  // does not take the entry of the other object
    EXPECT_EQ(manager->Get(1000), &foreign);
    EXPECT_EQ(clash.GetNetworkID(), Net::UNASSIGNED_NETWORK_ID);
    Net::NetworkId temporaryId;
    {
        Box temporary(true);
        temporaryId = manager->Assign(&temporary);
        EXPECT_EQ(manager->Get(temporaryId), &temporary);
    }
    EXPECT_EQ(manager->Get(temporaryId), nullptr);  // a destroyed object leaves its manager
    manager.reset();  // objects that outlive their manager are let go
    EXPECT_EQ(a.GetNetworkIDManager(), nullptr);
}

TEST(ReplicaRules, ServerConstructsAndSerialisesClientAcceptsPopDeletesWhatTheDroppedPeerMade) {
    struct Case {
        bool isServer;
        Net::ConstructionQuery construction;
        bool acceptsRemote;
        Net::SerializationQuery serialization;
    };
    const Case cases[] = {
        {true, Net::ConstructionQuery::SendConstruction, false, Net::SerializationQuery::CanSerialize},
        {false, Net::ConstructionQuery::NeverConstruct, true, Net::SerializationQuery::NeverSerialize},
    };
    Box box(true);
    TestConnection peer(Net::SystemAddress(0x7F000001, 1), Net::Guid(5), nullptr);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.isServer ? "server" : "client");
        EXPECT_EQ(box.QueryConstruction_ServerConstruction(&peer, c.isServer), c.construction);
        EXPECT_EQ(box.QueryRemoteConstruction_ServerConstruction(&peer, c.isServer), c.acceptsRemote);
        EXPECT_EQ(box.QuerySerialization_ServerSerializable(&peer, c.isServer), c.serialization);
    }
    // Not yet in a manager: made by nobody in particular, so it stays.
    EXPECT_EQ(box.QueryActionOnPopConnection_Server(&peer), Net::PopAction::DoNothing);
}

TEST(ReplicaManager, ConstructsOnEveryConnectionIncludingLaterOnesAndOnlyFromTheServer) {
    Node server(true), a(false), b(false);
    Connect(a, server);
    auto box = std::make_unique<Box>(true, "Box", 7);
    server.manager.Reference(box.get());
    EXPECT_EQ(box->GetReplicaManager(), &server.manager);
    EXPECT_NE(box->GetNetworkID(), Net::UNASSIGNED_NETWORK_ID);
    ASSERT_TRUE(PumpUntil({&server, &a}, [&] { return a.received.size() == 1; }));
    Box* copy = a.received[0];
    EXPECT_EQ(copy->value, 7);
    EXPECT_EQ(copy->type, "Box");
    EXPECT_EQ(copy->GetNetworkID(), box->GetNetworkID());
    EXPECT_EQ(copy->GetCreatingSystemGuid(), server.Guid());
    EXPECT_EQ(copy->GetReplicaManager(), &a.manager);
    EXPECT_EQ(copy->postConstructions, 1);
    EXPECT_EQ(box->GetCreatingSystemGuid(), server.Guid());

    // A replica that answers NoAction is asked again at later ticks.
    auto held = std::make_unique<Box>(true, "Box", 8);
    held->holdConstruction = true;
    server.manager.Reference(held.get());
    PumpFor({&server, &a}, 100ms);
    ASSERT_EQ(a.received.size(), 1u);
    held->holdConstruction = false;
    ASSERT_TRUE(PumpUntil({&server, &a}, [&] { return a.received.size() == 2; }));
    EXPECT_EQ(a.received[1]->value, 8);
    held->BroadcastDestruction();
    ASSERT_TRUE(PumpUntil({&server, &a}, [&] { return a.received.size() == 1; }));

    // A client's own replica is never constructed toward the server.
    auto clientBox = std::make_unique<Box>(false);
    a.manager.Reference(clientBox.get());

    box->value = 9;  // the construction form is made for each connection when it is sent
    Connect(b, server);
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return b.received.size() == 1; }));
    EXPECT_EQ(b.received[0]->value, 9);
    EXPECT_EQ(b.received[0]->GetNetworkID(), box->GetNetworkID());
    PumpFor({&server, &a, &b}, 100ms);
    EXPECT_EQ(server.allocations, 0);
    EXPECT_EQ(a.received.size(), 1u);
    EXPECT_EQ(server.manager.GetReplicaCount(), 1u);
    EXPECT_EQ(a.manager.GetReplicaCount(), 2u);  // its own and the server's
    EXPECT_EQ(server.manager.allocated, 2);
    EXPECT_EQ(server.manager.GetConnectionByGuid(a.Guid())->GetGuid(), a.Guid());
    EXPECT_FALSE(server.SawLibraryMessage() || a.SawLibraryMessage() || b.SawLibraryMessage());
}

TEST(ReplicaManager, SerialisesOncePerTickAndSendsOnlyChangedChannels) {
    Node server(true), a(false), b(false);
    Connect(a, server);
    Connect(b, server);
    auto box = std::make_unique<Box>(true, "Box", 1);
    box->useExtra = true;
    box->extra = 100;
    server.manager.Reference(box.get());
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] {
        return a.received.size() == 1 && b.received.size() == 1 && a.received[0]->deserializeCalls == 1 &&
               b.received[0]->deserializeCalls == 1;
    }));
    Box* copy = a.received[0];
    EXPECT_EQ(copy->extra, 100);
    EXPECT_TRUE(copy->lastWritten[0] && copy->lastWritten[1]);

    // Broadcast identically: one Serialize per tick for both connections.
    const int ticks = box->preTicks;
    EXPECT_GT(box->serializeCalls, 0);
    EXPECT_LE(box->serializeCalls, ticks);
    EXPECT_TRUE(std::all_of(box->serializedFor.begin(), box->serializedFor.end(),
                            [&](Net::Connection* c) { return c == box->serializedFor.front(); }));

    // Unchanged ticks send nothing: once the change arrives, it is the only
    // serialisation after the first.
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return box->preTicks >= ticks + 5; }));
    box->value = 2;
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return copy->value == 2 && b.received[0]->value == 2; }));
    EXPECT_EQ(copy->deserializeCalls, 2);
    EXPECT_TRUE(copy->lastWritten[0]);
    EXPECT_FALSE(copy->lastWritten[1]);
    EXPECT_EQ(copy->extra, 100);

    box->extra = 200;
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return copy->extra == 200; }));
    EXPECT_EQ(copy->deserializeCalls, 3);
    EXPECT_FALSE(copy->lastWritten[0]);
    EXPECT_TRUE(copy->lastWritten[1]);
    EXPECT_EQ(copy->value, 2);
    EXPECT_FALSE(a.SawLibraryMessage() || b.SawLibraryMessage());
}

// The changes of one tick reach a connection in batch messages of at most
// 1200 bytes, each replica once, instead of one message per replica.
TEST(ReplicaManager, ChangesOfOneTickShareBatchMessages) {
    WireRecorder wire;
    Node server(true), a(false, 4, &wire);
    Connect(a, server);
    constexpr int kBoxes = 150;
    std::vector<std::unique_ptr<Box>> boxes;
    for (int i = 0; i < kBoxes; ++i) {
        boxes.push_back(std::make_unique<Box>(true, "Box", i));
        boxes.back()->oddBit = i % 3 == 0;
        server.manager.Reference(boxes.back().get());
    }
    auto allAre = [&](int offset) {
        if (a.received.size() != kBoxes) return false;
        for (Box* b : a.received)
            if (b->deserializeCalls == 0 || b->value != static_cast<int32_t>(b->GetNetworkID()) + offset) return false;
        return true;
    };
    // Values that tell each box's copy apart: its network id.
    for (auto& b : boxes) b->value = static_cast<int32_t>(b->GetNetworkID());
    ASSERT_TRUE(PumpUntil({&server, &a}, [&] { return allAre(0); }));

    wire.messages.clear();
    for (auto& b : boxes) b->value += 1000;  // between two ticks: all in one
    ASSERT_TRUE(PumpUntil({&server, &a}, [&] { return allAre(1000); }));
    size_t entries = 0;
    std::vector<uint64_t> ids;
    for (const auto& m : wire.messages) {
        ASSERT_EQ(m[0], Net::ID_REPLICA_SERIALIZATION_BATCH);
        EXPECT_LE(m.size(), 1200u);
        Net::BitStream in(m.data(), m.size(), false);
        in.IgnoreBits(8);
        uint16_t count = 0;
        ASSERT_TRUE(in.Read(count));
        for (uint16_t i = 0; i < count; ++i) {
            uint64_t id = 0;
            uint32_t sequence = 0, bits = 0;
            uint8_t mask = 0;
            ASSERT_TRUE(in.Read(id) && in.Read(sequence) && in.Read(mask) && in.Read(bits) && in.IgnoreBits(bits));
            EXPECT_EQ(mask, 1);
            ids.push_back(id);
            ASSERT_TRUE(in.IgnoreBits((8 - (in.GetReadOffset() & 7)) & 7));
        }
        EXPECT_LT(in.GetNumberOfUnreadBits(), 8u);
        entries += count;
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::unique(ids.begin(), ids.end()), ids.end()) << "a replica twice in one tick";
    EXPECT_EQ(entries, static_cast<size_t>(kBoxes));
    // 21 or 22 bytes an entry: three or four messages, not 150.
    EXPECT_LE(wire.messages.size(), 4u);
}

TEST(ReplicaManager, SerializationResultsDecideWhatIsMadeAndSent) {
    struct Case {
        const char* name;
        Net::SerializationResult result;
    };
    const Case cases[] = {
        {"uniquely", Net::SERIALIZE_UNIQUELY},
        {"always", Net::SERIALIZE_ALWAYS_IDENTICALLY},
        {"do not", Net::SERIALIZE_DO_NOT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Node server(true), a(false), b(false);
        Connect(a, server);
        Connect(b, server);
        auto box = std::make_unique<Box>(true, "Box", 4);
        box->result = c.result;
        server.manager.Reference(box.get());
        ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return a.received.size() == 1 && b.received.size() == 1; }));
        Box* copyA = a.received[0];
        Box* copyB = b.received[0];
        const int ticks = box->preTicks, calls = box->serializeCalls;
        const int deserialized = copyA->deserializeCalls;
        switch (c.result) {
            case Net::SERIALIZE_UNIQUELY:
                // Made per connection: each peer gets the one made for it.
                ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] {
                    return copyA->seenGuid == a.Guid().g && copyB->seenGuid == b.Guid().g && box->preTicks >= ticks + 3;
                }));
                EXPECT_EQ(box->serializeCalls - calls, 2 * (box->preTicks - ticks));
                break;
            case Net::SERIALIZE_ALWAYS_IDENTICALLY:
                // Sent even though nothing changes.
                ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return copyA->deserializeCalls >= deserialized + 5; }));
                EXPECT_LE(box->serializeCalls, box->preTicks);
                break;
            default:
                ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return box->preTicks >= ticks + 5; }));
                PumpFor({&server, &a, &b}, 30ms);
                EXPECT_EQ(copyA->deserializeCalls, 0);
                EXPECT_EQ(copyB->deserializeCalls, 0);
                break;
        }
    }
}

TEST(ReplicaManager, DestructionReachesEveryCopyAndNothingFollowsIt) {
    Node server(true), a(false), b(false);
    Connect(a, server);
    Connect(b, server);
    auto box = std::make_unique<Box>(true, "Box", 3);
    auto kept = std::make_unique<Box>(true, "KeepOnDestroy", 5);
    server.manager.Reference(box.get());
    server.manager.Reference(kept.get());
    auto both = [&](size_t n) { return a.received.size() == n && b.received.size() == n; };
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] {
        return both(2) && a.received[0]->deserializeCalls > 0 && a.received[1]->deserializeCalls > 0;
    }));
    const int freed = g_deallocated;

    box->BroadcastDestruction();
    EXPECT_EQ(box->GetReplicaManager(), nullptr);
    EXPECT_EQ(server.manager.GetReplicaCount(), 1u);
    box->value = 30;  // would be serialised if it were still in the manager
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return both(1); }));
    EXPECT_EQ(g_deallocated, freed + 2);
    EXPECT_EQ(a.manager.GetReplicaCount(), 1u);

    // A replica that refuses its destruction leaves the manager and is left
    // to the application.
    server.manager.BroadcastDestruction(kept.get());
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] {
        return a.manager.GetReplicaCount() == 0 && b.manager.GetReplicaCount() == 0;
    }));
    ASSERT_TRUE(both(1));
    EXPECT_EQ(a.received[0]->GetReplicaManager(), nullptr);
    EXPECT_EQ(g_deallocated, freed + 2);
    delete a.received[0];
    delete b.received[0];

    // Referenced again, it is constructed afresh.
    server.manager.Reference(box.get());
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return both(1); }));
    EXPECT_EQ(a.received[0]->value, 30);
    EXPECT_EQ(a.allocations, 3);

    // Asked per connection: destroyed on a only, for good; b keeps its copy.
    box->destroyOn = a.Guid();
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return a.received.empty(); }));
    box->value = 31;
    ASSERT_TRUE(PumpUntil({&server, &a, &b}, [&] { return b.received[0]->value == 31; }));
    EXPECT_TRUE(a.received.empty());
    EXPECT_EQ(a.allocations, 3);
    EXPECT_EQ(server.manager.GetReplicaCount(), 1u);
}

TEST(ReplicaManager, DestroyedReplicaLeavesTheManagerAndItsQueues) {
    Node server(true), a(false);
    Connect(a, server);
    auto pending = new Box(true, "Box", 1);
    server.manager.Reference(pending);
    delete pending;  // before any Update took it
    EXPECT_EQ(server.manager.GetReplicaCount(), 0u);

    auto constructed = new Box(true, "Box", 2);
    server.manager.Reference(constructed);
    ASSERT_TRUE(PumpUntil({&server, &a}, [&] { return a.received.size() == 1; }));
    delete constructed;  // no destruction is sent; ticks go on without it
    EXPECT_EQ(server.manager.GetReplicaCount(), 0u);

    auto marker = std::make_unique<Box>(true, "Box", 3);
    server.manager.Reference(marker.get());
    ASSERT_TRUE(PumpUntil({&server, &a}, [&] { return a.received.size() == 2 && a.received[1]->deserializeCalls > 0; }));
    EXPECT_EQ(a.received[0]->value, 2);
    EXPECT_EQ(a.received[1]->value, 3);
    EXPECT_EQ(a.allocations, 2);
}

TEST(ReplicaManager, PoppedConnectionsFollowThePopRule) {
    Node server(true);
    auto a = std::make_unique<Node>(false);
    Node b(false);
    Connect(*a, server);
    Connect(b, server);
    auto stays = std::make_unique<Box>(true, "Box", 1);
    Box* goes = new Box(true, "Box", 2);  // a local replica whose own rule deletes it
    goes->popAction = Net::PopAction::DeleteAndBroadcastDestruction;
    server.manager.Reference(stays.get());
    server.manager.Reference(goes);
    ASSERT_TRUE(PumpUntil({&server, a.get(), &b}, [&] { return a->received.size() == 2 && b.received.size() == 2; }));
    const int freed = g_deallocated;

    a.reset();  // a closes its connection; its own copies go with its manager
    EXPECT_EQ(g_deallocated, freed + 2);
    ASSERT_TRUE(PumpUntil({&server, &b}, [&] { return server.manager.GetConnectionCount() == 1 && b.received.size() == 1; }));
    EXPECT_EQ(server.manager.deallocated, 1);
    EXPECT_EQ(server.manager.GetReplicaCount(), 1u);  // made here: it stays
    EXPECT_EQ(stays->GetReplicaManager(), &server.manager);
    EXPECT_EQ(g_deallocated, freed + 4);  // the server's and b's copy of the other
    EXPECT_EQ(b.received[0]->value, 1);

    // A connection that comes later takes the dropped one's place in the
    // manager: the replica that stayed is constructed and serialised afresh.
    Node late(false);
    Connect(late, server);
    ASSERT_TRUE(PumpUntil({&server, &b, &late}, [&] {
        return late.received.size() == 1 && late.received[0]->deserializeCalls > 0;
    }));
    EXPECT_EQ(late.received[0]->value, 1);
    stays->value = 6;
    ASSERT_TRUE(PumpUntil({&server, &b, &late}, [&] { return late.received[0]->value == 6 && b.received[0]->value == 6; }));

    // The server goes: b deletes what the server made.
    server.peer->CloseConnection(b.Guid(), true);
    ASSERT_TRUE(PumpUntil({&server, &b}, [&] { return b.manager.GetConnectionCount() == 0; }));
    EXPECT_TRUE(b.received.empty());
    EXPECT_EQ(b.manager.GetReplicaCount(), 0u);
    EXPECT_EQ(b.manager.deallocated, 1);
    EXPECT_EQ(g_deallocated, freed + 5);
}

namespace {

// A bare peer that plays a server sending hand-made replication messages.
struct RawSender {
    RawSender() {
        Net::SocketDescriptor sd(0, "127.0.0.1");
        peer->Startup(4, &sd, 1);
        peer->SetMaximumIncomingConnections(4);
    }
    ~RawSender() { Net::Peer::DestroyInstance(peer); }
    void Pump() {
        while (Net::Packet* p = peer->Receive()) {
            if (p->length > 0 && p->data[0] == Net::ID_NEW_INCOMING_CONNECTION) receiver = p->guid;
            peer->DeallocatePacket(p);
        }
    }
    void Send(const Net::BitStream& message) {
        peer->Send(&message, Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, 0, receiver, false);
    }
    Net::Peer* peer = Net::Peer::GetInstance();
    Net::Guid receiver;
};

struct Message {
    Net::BitStream s;
    explicit Message(uint8_t id) { s.Write(id); }
    Message& U64(uint64_t v) { s.Write(v); return *this; }
    Message& U32(uint32_t v) { s.Write(v); return *this; }
    Message& U8(uint8_t v) { s.Write(v); return *this; }
    Message& Sub(const Net::BitStream& sub) {
        s.Write(static_cast<uint32_t>(sub.GetNumberOfBitsUsed()));
        s.WriteStream(sub);
        return *this;
    }
};

Net::BitStream Text(const char* t) {
    Net::BitStream s;
    Net::String(t).Serialize(&s);
    return s;
}
Net::BitStream Int(int32_t v) {
    Net::BitStream s;
    s.Write(v);
    return s;
}
Net::BitStream Construction(uint64_t id, const char* type, int32_t value) {
    return Message(Net::ID_REPLICA_CONSTRUCTION).U64(id).Sub(Text(type)).Sub(Int(value)).s;
}
Net::BitStream Serialization(uint64_t id, uint32_t sequence, int32_t value) {
    return Message(Net::ID_REPLICA_SERIALIZATION).U64(id).U32(sequence).U8(1).Sub(Int(value)).s;
}
Net::BitStream Destruction(uint64_t id) { return Message(Net::ID_REPLICA_DESTRUCTION).U64(id).Sub(Text("x")).s; }
struct Entry {
    uint64_t id;
    uint32_t sequence;
    int32_t value;
};
// A batch of the given entries that says it holds `count`.
Net::BitStream Batch(uint16_t count, std::initializer_list<Entry> entries) {
    Net::BitStream s;
    s.Write(Net::ID_REPLICA_SERIALIZATION_BATCH);
    s.Write(count);
    for (const Entry& e : entries) {
        s.Write(e.id);
        s.Write(e.sequence);
        s.Write(uint8_t{1});
        const Net::BitStream value = Int(e.value);
        s.Write(static_cast<uint32_t>(value.GetNumberOfBitsUsed()));
        s.WriteStream(value);
    }
    return s;
}
Net::BitStream CutBatch() {
    Net::BitStream s = Batch(2, {{10, 3, 30}});
    s.Write(uint64_t{10});
    s.Write(uint32_t{4});
    return s;
}

void ConnectToRaw(Node& receiver, RawSender& sender) {
    const unsigned before = receiver.manager.GetConnectionCount();
    receiver.ConnectTo(sender.peer->GetBoundPort());
    ASSERT_TRUE(PumpUntil({&receiver}, [&] {
        sender.Pump();
        return receiver.manager.GetConnectionCount() == before + 1 && !sender.receiver.IsUnassigned();
    }));
}

}  // namespace

TEST(ReplicaManager, RefusedAllocationIdsAndHostileMessagesAreDropped) {
    Node receiver(false);
    RawSender sender;
    ConnectToRaw(receiver, sender);
    const int freed = g_deallocated;

    Net::BitStream truncatedId;
    truncatedId.Write(Net::ID_REPLICA_CONSTRUCTION);
    truncatedId.Write(uint16_t{0});
    struct Case {
        const char* what;
        Net::BitStream message;
    };
    const Case cases[] = {
        {"bare construction id", Message(Net::ID_REPLICA_CONSTRUCTION).s},
        {"truncated network id", truncatedId},
        {"allocation id longer than the message", Message(Net::ID_REPLICA_CONSTRUCTION).U64(1).U32(0xFFFFFFFFu).s},
        {"construction form longer than the message",
         Message(Net::ID_REPLICA_CONSTRUCTION).U64(2).Sub(Text("Box")).U32(1000000).U32(0).s},
        {"unknown type", Construction(3, "Crate", 1)},
        {"type in the wrong case", Construction(4, "box", 1)},
        {"remote construction refused", Construction(5, "RejectRemote", 1)},
        {"construction form refused", Construction(6, "BadConstruction", 1)},
        {"unassigned network id", Construction(Net::UNASSIGNED_NETWORK_ID, "Box", 1)},
        {"valid", Construction(10, "Box", 1)},
        {"duplicate network id", Construction(10, "Box", 2)},
        {"serialisation of an unknown id", Serialization(77, 1, 5)},
        {"destruction of an unknown id", Destruction(77)},
        {"serialisation channel longer than the message",
         Message(Net::ID_REPLICA_SERIALIZATION).U64(10).U32(1).U8(0xFF).U32(0xFFFFFFF0u).s},
        {"serialisation with missing channels", Message(Net::ID_REPLICA_SERIALIZATION).U64(10).U32(1).U8(0x03).Sub(Int(9)).s},
        {"destruction form longer than the message", Message(Net::ID_REPLICA_DESTRUCTION).U64(10).U32(500).s},
        {"batch that counts more entries than it holds", Batch(2, {{10, 2, 20}})},
        {"batch whose last entry is cut short", CutBatch()},
        {"batch without its count", Message(Net::ID_REPLICA_SERIALIZATION_BATCH).s},
        {"reserved id", Message(Net::ID_REPLICA_FIRST + 5).U32(1).s},
        {"last reserved id", Message(Net::ID_REPLICA_LAST).s},
        {"sync", Construction(99, "Box", 5)},
    };
    for (const Case& c : cases) sender.Send(c.message);
    ASSERT_TRUE(PumpUntil({&receiver}, [&] {
        sender.Pump();
        return receiver.Find(99) != nullptr;
    }));
    EXPECT_EQ(receiver.received.size(), 2u);
    EXPECT_EQ(receiver.manager.GetReplicaCount(), 2u);
    Box* valid = receiver.Find(10);
    ASSERT_NE(valid, nullptr);
    EXPECT_EQ(valid->value, 1);
    EXPECT_EQ(valid->deserializeCalls, 0);
    EXPECT_EQ(valid->GetCreatingSystemGuid(), sender.peer->GetMyGUID());
    EXPECT_EQ(receiver.allocations, 6);        // Crate, box, the two refusals, 10, 99
    EXPECT_EQ(g_deallocated, freed + 2);       // the two that refused after allocation
    EXPECT_FALSE(receiver.SawLibraryMessage());

    // Stale serialisations are recognised by their sequence.
    sender.Send(Serialization(10, 5, 50));
    sender.Send(Serialization(10, 4, 40));
    sender.Send(Serialization(99, 1, 6));
    ASSERT_TRUE(PumpUntil({&receiver}, [&] {
        sender.Pump();
        return receiver.Find(99)->value == 6;
    }));
    EXPECT_EQ(valid->value, 50);
    EXPECT_EQ(valid->deserializeCalls, 1);

    // In a batch every entry keeps its own sequence: the stale one and the
    // one of an unknown replica are left out, the others applied in order.
    sender.Send(Batch(4, {{10, 7, 70}, {77, 1, 5}, {10, 6, 60}, {99, 3, 8}}));
    ASSERT_TRUE(PumpUntil({&receiver}, [&] {
        sender.Pump();
        return receiver.Find(99)->value == 8;
    }));
    EXPECT_EQ(valid->value, 70);
    EXPECT_EQ(valid->deserializeCalls, 2);
    EXPECT_EQ(receiver.received.size(), 2u);
}

TEST(ReplicaManager, IdentifiersAreFiledPerSender) {
    Node receiver(false);
    RawSender first, second;
    ConnectToRaw(receiver, first);
    ConnectToRaw(receiver, second);
    first.Send(Construction(7, "Box", 70));
    second.Send(Construction(7, "Box", 71));
    ASSERT_TRUE(PumpUntil({&receiver}, [&] {
        first.Pump();
        second.Pump();
        return receiver.received.size() == 2;
    }));
    auto fromSecond = [&] {
        for (Box* b : receiver.received)
            if (b->GetCreatingSystemGuid() == second.peer->GetMyGUID()) return b;
        return static_cast<Box*>(nullptr);
    };
    ASSERT_NE(fromSecond(), nullptr);
    EXPECT_EQ(fromSecond()->value, 71);

    second.Send(Serialization(7, 1, 72));
    first.Send(Destruction(7));
    ASSERT_TRUE(PumpUntil({&receiver}, [&] {
        first.Pump();
        second.Pump();
        return receiver.received.size() == 1 && fromSecond() && fromSecond()->value == 72;
    }));
    EXPECT_EQ(receiver.received[0], fromSecond());
}

TEST(ReplicaManager, ReferenceFromOtherThreadsAndFromCallbacksDuringTicks) {
    Node server(true), a(false);
    Connect(a, server);
    server.manager.SetAutoSerializeInterval(0);  // a tick at every update

    // From inside a callback on the draining thread: queued, no deadlock.
    auto inner = std::make_unique<Box>(true, "Box", -2);
    auto outer = std::make_unique<Box>(true, "Box", -1);
    outer->onPreTick = [&] { server.manager.Reference(inner.get()); };
    server.manager.Reference(outer.get());

    constexpr int kCount = 200;
    std::vector<std::unique_ptr<Box>> boxes;
    for (int i = 0; i < kCount; ++i) boxes.push_back(std::make_unique<Box>(true, "Box", i));
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int i = 0; i < kCount; ++i) {
            server.manager.Reference(boxes[i].get());
            if (i % 10 == 9) {  // taken out again from this thread, then freed here
                boxes[i]->BroadcastDestruction();
                boxes[i].reset();
            }
            if (i % 4 == 0) std::this_thread::yield();
        }
        done = true;
    });
    const bool arrived = PumpUntil({&server, &a}, [&] { return done && a.received.size() == kCount - kCount / 10 + 2; });
    worker.join();
    ASSERT_TRUE(arrived);
    PumpFor({&server, &a}, 50ms);
    EXPECT_EQ(a.received.size(), static_cast<size_t>(kCount - kCount / 10 + 2));
    EXPECT_EQ(server.manager.GetReplicaCount(), static_cast<unsigned>(kCount - kCount / 10 + 2));
    std::vector<int32_t> values;
    for (Box* b : a.received) values.push_back(b->value);
    std::sort(values.begin(), values.end());
    std::vector<int32_t> expected{-2, -1};
    for (int i = 0; i < kCount; ++i)
        if (i % 10 != 9) expected.push_back(i);
    EXPECT_EQ(values, expected);
}
