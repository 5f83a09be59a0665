// Cost of one automatic serialisation tick of the replica manager, in
// process and without the network: N replicas shaped like players (1289 bits
// on output channel 0, the same for every connection) on N connections, every
// replica changed before every tick, so each tick sends N x N updates. The
// connections are announced to the manager directly, so the peer it is
// attached to has no one to send to and the figure is the manager's own work
// (the queries, the comparisons with what each connection last got, the
// messages). items_per_second counts replica-connection updates.
//
// Target: the 128 x 128 tick stays far below the 33 ms interval.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "net/Peer.h"
#include "net/ReplicaManager.h"

namespace {

class Mover : public Net::Replica {
public:
    uint64_t value = 0;
    void WriteAllocationID(Net::Connection*, Net::BitStream* out) const override { Net::String("Mover").Serialize(out); }
    Net::ConstructionQuery QueryConstruction(Net::Connection* to, Net::ReplicaManager*) override {
        return QueryConstruction_ServerConstruction(to, true);
    }
    bool QueryRemoteConstruction(Net::Connection*) override { return false; }
    void SerializeConstruction(Net::BitStream* out, Net::Connection*) override { out->Write(value); }
    bool DeserializeConstruction(Net::BitStream*, Net::Connection*) override { return false; }
    void SerializeDestruction(Net::BitStream*, Net::Connection*) override {}
    bool DeserializeDestruction(Net::BitStream*, Net::Connection*) override { return true; }
    Net::PopAction QueryActionOnPopConnection(Net::Connection* c) const override {
        return QueryActionOnPopConnection_Server(c);
    }
    void DeallocReplica(Net::Connection*) override {}
    Net::SerializationQuery QuerySerialization(Net::Connection* to) override {
        return QuerySerialization_ServerSerializable(to, true);
    }
    Net::SerializationResult Serialize(Net::SerializeParameters* p) override {
        Net::BitStream& out = p->outputBitstream[0];
        p->reliability[0] = Net::UNRELIABLE_SEQUENCED;
        out.Write(value);  // a player: 20 doubles and a few bits
        for (int i = 0; i < 19; ++i) out.Write(static_cast<double>(i));
        for (int i = 0; i < 9; ++i) out.WriteBit(i & 1);
        return Net::SERIALIZE_BROADCAST_IDENTICALLY;
    }
    void Deserialize(Net::DeserializeParameters*) override {}
};

class Plain : public Net::Connection {
public:
    using Net::Connection::Connection;
    Net::Replica* AllocReplica(Net::BitStream*, Net::ReplicaManager*) override { return nullptr; }
};

class Manager : public Net::ReplicaManager {
public:
    Net::Connection* AllocConnection(const Net::SystemAddress& a, Net::Guid g) const override { return new Plain(a, g); }
    void DeallocConnection(Net::Connection* c) const override { delete c; }
};

void BM_SerializationTick(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    Net::Peer* peer = Net::Peer::GetInstance();
    Net::SocketDescriptor sd(0, "127.0.0.1");
    peer->Startup(1, &sd, 1);
    {
        Manager manager;
        peer->AttachPlugin(&manager);
        manager.SetAutoManageConnections(true, true);
        manager.SetAutoSerializeInterval(0);  // a tick at every update
        for (int i = 0; i < n; ++i)
            manager.OnNewConnection(Net::SystemAddress(0x7F000001, static_cast<uint16_t>(10000 + i)),
                                    Net::Guid(static_cast<uint64_t>(i) + 1), true);
        std::vector<std::unique_ptr<Mover>> movers;
        for (int i = 0; i < n; ++i) {
            movers.push_back(std::make_unique<Mover>());
            manager.Reference(movers.back().get());
        }
        manager.Update();  // constructions and the first serialisations
        for (auto _ : state) {
            for (auto& m : movers) ++m->value;
            manager.Update();
        }
        state.SetItemsProcessed(state.iterations() * n * n);
        peer->DetachPlugin(&manager);
        for (auto& m : movers) manager.Dereference(m.get());
    }
    Net::Peer::DestroyInstance(peer);
}
BENCHMARK(BM_SerializationTick)->Arg(32)->Arg(64)->Arg(128)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
