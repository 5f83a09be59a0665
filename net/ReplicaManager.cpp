// The replica manager: construction, serialisation ticks, destruction and
// connection pops of replicas over a Peer.
//
// Threads and locks. `mutex` (recursive) guards every record of the manager;
// the draining thread holds it for all the manager's work, replica callbacks
// included, so that a replica that another thread takes out with
// BroadcastDestruction or Dereference is never touched again once that call
// returns. Reference only takes `queueMutex`, a leaf lock under which nothing
// else is called: it can come from any thread and from inside any callback.
// Callbacks may re-enter the manager on the draining thread (the mutex is
// recursive); every walk works on a snapshot of shared records and checks
// the `gone` flags after each callback.
#include "net/ReplicaManager.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "net/Peer.h"
#include "net/ReplicaMemory.h"

namespace Net {

namespace {

using Clock = std::chrono::steady_clock;

// The content of one output channel as it was sent. A result that goes to
// every connection identically is kept once and shared by every connection
// that got it, so that a connection whose last one is the very same object
// needs no comparison, and the pairs hold a pointer each, not a copy.
struct SentBytes {
    NET_HOOKED_NEW
    HookVector<unsigned char> bytes;
    BitSize bits = 0;
    uint32_t refs = 0;

    bool Equals(const BitStream& s) const {
        if (s.GetNumberOfBitsUsed() != bits) return false;
        const size_t full = bits >> 3;
        const unsigned rem = bits & 7;
        if (full && std::memcmp(bytes.data(), s.GetData(), full) != 0) return false;
        if (!rem) return true;
        const unsigned char mask = static_cast<unsigned char>(0xFFu << (8 - rem));
        return ((bytes[full] ^ s.GetData()[full]) & mask) == 0;
    }
};
// A counted reference to a SentBytes. Not atomic: every one is made, copied
// and dropped under the replica manager's mutex.
class SentPtr {
public:
    SentPtr() = default;
    explicit SentPtr(SentBytes* p) : p_(p) { if (p_) ++p_->refs; }
    SentPtr(const SentPtr& o) : SentPtr(o.p_) {}
    SentPtr& operator=(const SentPtr& o) {
        if (o.p_ != p_) {
            SentPtr keep(o);
            std::swap(p_, keep.p_);
        }
        return *this;
    }
    ~SentPtr() { reset(); }
    void reset() {
        if (p_ && --p_->refs == 0) delete p_;
        p_ = nullptr;
    }
    const SentBytes* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    bool operator==(const SentPtr& o) const { return p_ == o.p_; }

private:
    SentBytes* p_ = nullptr;
};

SentPtr MakeSent(const BitStream& s) {
    auto* sent = new SentBytes;
    sent->bits = s.GetNumberOfBitsUsed();
    sent->bytes.assign(s.GetData(), s.GetData() + s.GetNumberOfBytesUsed());
    return SentPtr(sent);
}

enum class PairState : uint8_t { Undecided, Constructed, Never };

// A replica of this peer as seen on one connection.
struct Pair {
    PairState state = PairState::Undecided;
    uint32_t sequence = 0;              // of the last serialisation entry sent
    SentPtr sent[REPLICA_CHANNEL_COUNT];  // null: never sent on this connection
};

bool SequenceNewer(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

PacketReliability ValidReliability(PacketReliability r) {
    return (r >= UNRELIABLE && r <= RELIABLE_SEQUENCED) ? r : RELIABLE_ORDERED;
}
PacketPriority ValidPriority(PacketPriority p) {
    return (p >= IMMEDIATE_PRIORITY && p <= LOW_PRIORITY) ? p : HIGH_PRIORITY;
}
char ValidChannel(char c) { return (c >= 0 && c < NUMBER_OF_ORDERED_STREAMS) ? c : 0; }

// Reads a u32 bit count and that many bits into out; fails without reading
// (and without allocating) when the count is beyond what the stream holds.
bool ReadSubStream(BitStream& in, BitStream& out) {
    uint32_t bits = 0;
    if (!in.Read(bits) || bits > in.GetNumberOfUnreadBits()) return false;
    HookVector<unsigned char> buffer((bits + 7) / 8);
    if (!in.ReadBits(buffer.data(), bits)) return false;
    out.WriteBits(buffer.data(), bits);
    return true;
}

template <typename U>
void PutBigEndian(U v, unsigned char* out) {
    for (size_t i = 0; i < sizeof(U); ++i) out[i] = static_cast<unsigned char>(v >> (8 * (sizeof(U) - 1 - i)));
}

void WriteSubStream(BitStream& out, const BitStream& sub) {
    out.Write(static_cast<uint32_t>(sub.GetNumberOfBitsUsed()));
    out.WriteStream(sub);
}

// The ordering channel of constructions, destructions and first serialisations.
constexpr char kControlChannel = 0;

// A batch of serialisations is closed before it would grow past this many
// bytes, so that each one travels in one datagram of a usual path MTU
// (ENet adds at most a few dozen bytes of headers). A single entry that is
// larger travels alone.
constexpr size_t kBatchBytes = 1200;
constexpr uint16_t kMaxBatchEntries = 0xFFFF;

// Bits of an entry: network id, sequence, channel mask, and for each channel
// present its bit count and bits.
constexpr BitSize kEntryHeaderBits = 64 + 32 + 8;

// Moves the read position to the next byte boundary.
bool SkipToByte(BitStream& in) {
    const BitSize pad = (8 - (in.GetReadOffset() & 7)) & 7;
    return pad == 0 || in.IgnoreBits(pad);
}

// Skips one serialisation entry; false when the stream does not hold it whole.
bool SkipEntry(BitStream& in) {
    uint64_t id = 0;
    uint32_t sequence = 0;
    uint8_t mask = 0;
    if (!in.Read(id) || !in.Read(sequence) || !in.Read(mask)) return false;
    for (int ch = 0; ch < REPLICA_CHANNEL_COUNT; ++ch) {
        if (!(mask & (1u << ch))) continue;
        uint32_t bits = 0;
        if (!in.Read(bits) || !in.IgnoreBits(bits)) return false;
    }
    return true;
}

}  // namespace

struct ReplicaManager::Impl {
    struct ConnectionRecord;

    struct Record {
        Replica* replica = nullptr;
        NetworkId id = UNASSIGNED_NETWORK_ID;
        bool local = true;                     // referenced here (else received)
        ConnectionRecord* source = nullptr;    // received from; null for local and orphans
        bool gone = false;
        // Local only: by connection slot (ConnectionRecord::slot), so that a
        // tick walks them in order without hashing.
        HookVector<Pair> pairs;
        // Local only: this tick's result for every connection, per channel.
        SentPtr shared[REPLICA_CHANNEL_COUNT];

        Pair* PairOf(const ConnectionRecord& c) { return c.slot < pairs.size() ? &pairs[c.slot] : nullptr; }
        Pair& PairFor(const ConnectionRecord& c) {
            if (c.slot >= pairs.size()) pairs.resize(c.slot + 1);
            return pairs[c.slot];
        }
        uint32_t lastSequence[REPLICA_CHANNEL_COUNT] = {};  // received only
    };
    using RecordPtr = std::shared_ptr<Record>;

    // The serialisations of one tick to one connection that travel the same
    // way (reliability and ordering channel), gathered into batch messages.
    struct BatchGroup {
        PacketReliability reliability = RELIABLE_ORDERED;
        char channel = 0;
        PacketPriority priority = LOW_PRIORITY;  // the most urgent of its entries
        uint16_t count = 0;
        BitStream entries;  // kept between ticks, so that its buffer is reused
    };

    struct ConnectionRecord {
        Connection* connection = nullptr;
        Guid guid;
        uint32_t slot = 0;  // small index, unique among the live connections
        bool gone = false;
        HookMap<NetworkId, RecordPtr> received;
        HookVector<BatchGroup> batches;  // at most a few: one per way of travelling
    };
    using ConnectionPtr = std::shared_ptr<ConnectionRecord>;

    NET_HOOKED_NEW
    explicit Impl(ReplicaManager* o) : owner(o), start(Clock::now()), lastTick(start) {}

    ReplicaManager* owner;
    mutable std::recursive_mutex mutex;
    std::mutex queueMutex;
    HookVector<Replica*> pendingReferences;  // under queueMutex
    std::atomic<bool> hasPending{false};

    NetworkIdManager ownIds;  // used until SetNetworkIdManager names another
    std::atomic<NetworkIdManager*> ids{&ownIds};

    bool autoCreate = false;
    bool autoDestroy = false;
    int intervalMs = -1;
    Clock::time_point start;
    Clock::time_point lastTick;
    bool constructionPassDue = false;
    bool constructionRetryDue = false;  // a replica answered NoAction: ask again at the next tick

    HookMap<NetworkId, RecordPtr> locals;
    HookUnorderedMap<Replica*, RecordPtr> byReplica;  // every record: local, received, orphaned
    HookVector<ConnectionPtr> connections;
    HookVector<ConnectionRecord*> bySlot;  // live connections by slot (null: free)
    HookVector<uint32_t> freeSlots;
    BitStream batchMessage;  // scratch of FlushBatch

    uint32_t TakeSlot(ConnectionRecord* c) {
        if (!freeSlots.empty()) {
            const uint32_t slot = freeSlots.back();
            freeSlots.pop_back();
            bySlot[slot] = c;
            return slot;
        }
        bySlot.push_back(c);
        return static_cast<uint32_t>(bySlot.size() - 1);
    }

    // ---- helpers (callers hold mutex) ----

    Peer* GetPeer() const { return owner->GetPeer(); }

    ConnectionPtr FindConnection(Guid guid) const {
        for (const ConnectionPtr& c : connections)
            if (c->guid == guid) return c;
        return nullptr;
    }

    void Send(const ConnectionRecord& c, const BitStream& message, PacketReliability reliability,
              char channel, PacketPriority priority) {
        if (Peer* peer = GetPeer())
            peer->Send(&message, priority, reliability, channel, AddressOrGuid(c.guid), false);
    }

    bool RemovePending(Replica* replica) {
        std::lock_guard<std::mutex> lock(queueMutex);
        auto it = std::find(pendingReferences.begin(), pendingReferences.end(), replica);
        if (it == pendingReferences.end()) return false;
        pendingReferences.erase(it);
        hasPending = !pendingReferences.empty();
        return true;
    }

    // Takes a record out of every structure; the replica no longer belongs to
    // the manager. Touches nothing of the replica but its manager pointer.
    void Drop(const RecordPtr& record) {
        if (record->gone) return;
        record->gone = true;
        byReplica.erase(record->replica);
        if (record->local) {
            locals.erase(record->id);
        } else if (record->source) {
            record->source->received.erase(record->id);
            record->source = nullptr;
        }
        record->replica->replicaManager_ = nullptr;
    }

    void SendDestructionTo(const RecordPtr& record, ConnectionRecord& c) {
        BitStream body;
        record->replica->SerializeDestruction(&body, c.connection);
        BitStream message;
        message.Write(ID_REPLICA_DESTRUCTION);
        message.Write(record->id);
        WriteSubStream(message, body);
        Send(c, message, RELIABLE_ORDERED, kControlChannel, HIGH_PRIORITY);
    }

    void SendDestruction(const RecordPtr& record) {
        HookVector<ConnectionRecord*> targets;
        for (size_t slot = 0; slot < record->pairs.size() && slot < bySlot.size(); ++slot) {
            ConnectionRecord* c = bySlot[slot];
            if (c && !c->gone && record->pairs[slot].state == PairState::Constructed) targets.push_back(c);
        }
        for (ConnectionRecord* c : targets) {
            SendDestructionTo(record, *c);
            if (record->gone) return;
        }
    }

    HookVector<RecordPtr> SnapshotLocals() const {
        HookVector<RecordPtr> out;
        out.reserve(locals.size());
        for (const auto& entry : locals) out.push_back(entry.second);
        return out;
    }

    // ---- the work ----

    void TakePendingReferences() {
        if (!hasPending) return;
        HookVector<Replica*> taken;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            taken.swap(pendingReferences);
            hasPending = false;
        }
        const Guid me = GetPeer() ? GetPeer()->GetMyGUID() : UNASSIGNED_GUID;
        for (Replica* replica : taken) {
            if (byReplica.count(replica)) continue;
            NetworkId id = replica->GetNetworkID();
            NetworkIdManager* idManager = ids.load();
            if (id == UNASSIGNED_NETWORK_ID || replica->GetNetworkIDManager() != idManager || locals.count(id))
                id = idManager->Assign(replica);
            auto record = MakeHookShared<Record>();
            record->replica = replica;
            record->id = id;
            record->local = true;
            replica->creatingSystemGuid_ = me;
            replica->replicaManager_ = owner;
            locals[id] = record;
            byReplica[replica] = record;
            constructionPassDue = true;
        }
    }

    void ConstructionPass() {
        constructionPassDue = false;
        constructionRetryDue = false;
        const HookVector<RecordPtr> records = SnapshotLocals();
        const HookVector<ConnectionPtr> targets = connections;
        for (const RecordPtr& record : records) {
            for (const ConnectionPtr& c : targets) {
                if (record->gone) break;
                if (c->gone) continue;
                const Pair* found = record->PairOf(*c);
                if (found && found->state != PairState::Undecided) continue;
                const ConstructionQuery query = record->replica->QueryConstruction(c->connection, owner);
                if (record->gone) break;
                if (c->gone) continue;
                if (query == ConstructionQuery::NeverConstruct) {
                    record->PairFor(*c).state = PairState::Never;
                    continue;
                }
                if (query != ConstructionQuery::SendConstruction) {
                    constructionRetryDue = true;
                    continue;
                }
                BitStream allocation, construction;
                record->replica->WriteAllocationID(c->connection, &allocation);
                if (record->gone) break;
                record->replica->SerializeConstruction(&construction, c->connection);
                if (record->gone) break;
                if (c->gone) continue;
                BitStream message;
                message.Write(ID_REPLICA_CONSTRUCTION);
                message.Write(record->id);
                WriteSubStream(message, allocation);
                WriteSubStream(message, construction);
                Send(*c, message, RELIABLE_ORDERED, kControlChannel, HIGH_PRIORITY);
                Pair& pair = record->PairFor(*c);
                pair = Pair();
                pair.state = PairState::Constructed;
            }
        }
    }

    // Adds to one connection's batches the channels of a serialisation that
    // differ from what was last sent there (all non-empty ones when forced).
    // A channel that was never sent on this connection goes reliably on the
    // control channel, behind the construction.
    // With `shared`, p is the tick's result for every connection, whose
    // channels are record.shared.
    void SendSerialization(const Record& record, ConnectionRecord& c, Pair& pair,
                           const SerializeParameters& p, bool force, bool shared) {
        struct Group {
            PacketReliability reliability;
            char channel;
            uint8_t mask;
            BitSize bits;
        };
        Group groups[REPLICA_CHANNEL_COUNT];
        int groupCount = 0;
        for (int ch = 0; ch < REPLICA_CHANNEL_COUNT; ++ch) {
            const BitStream& out = p.outputBitstream[ch];
            if (out.GetNumberOfBitsUsed() == 0) continue;
            SentPtr& sent = pair.sent[ch];
            const SentPtr* current = shared ? &record.shared[ch] : nullptr;
            if (!force && sent && ((current && sent == *current) || sent->Equals(out))) {
                if (current) sent = *current;  // the same bytes: share them
                continue;
            }
            const PacketReliability reliability = sent ? ValidReliability(p.reliability[ch]) : RELIABLE_ORDERED;
            const char channel = sent ? ValidChannel(p.orderingChannel) : kControlChannel;
            sent = current ? *current : MakeSent(out);
            int g = 0;
            while (g < groupCount && (groups[g].reliability != reliability || groups[g].channel != channel)) ++g;
            if (g == groupCount) groups[groupCount++] = Group{reliability, channel, 0, kEntryHeaderBits};
            groups[g].mask = static_cast<uint8_t>(groups[g].mask | (1u << ch));
            groups[g].bits += 32 + out.GetNumberOfBitsUsed();
        }
        for (int g = 0; g < groupCount; ++g) {
            BatchGroup& batch = BatchFor(c, groups[g].reliability, groups[g].channel);
            // Closed before it would outgrow a datagram (one entry may go alone).
            const size_t bytes = batch.entries.GetNumberOfBytesUsed() + (groups[g].bits + 7) / 8;
            if (batch.count > 0 && (bytes + 3 > kBatchBytes || batch.count == kMaxBatchEntries)) FlushBatch(c, batch);
            // The header as bytes: id, sequence, mask (every entry starts on
            // a byte, so that its channels are copied whole bytes at a time,
            // here and by the receiver).
            unsigned char header[8 + 4 + 1];
            PutBigEndian(record.id, header);
            PutBigEndian(++pair.sequence, header + 8);
            header[12] = groups[g].mask;
            BitStream& out = batch.entries;
            out.WriteBytes(header, sizeof header);
            for (int ch = 0; ch < REPLICA_CHANNEL_COUNT; ++ch)
                if (groups[g].mask & (1u << ch)) WriteSubStream(out, p.outputBitstream[ch]);
            static const unsigned char kZeros[1] = {0};
            if (const BitSize pad = (8 - (out.GetNumberOfBitsUsed() & 7)) & 7) out.WriteBits(kZeros, pad);
            ++batch.count;
            batch.priority = std::min(batch.priority, ValidPriority(p.priority));
        }
    }

    BatchGroup& BatchFor(ConnectionRecord& c, PacketReliability reliability, char channel) {
        for (BatchGroup& b : c.batches)
            if (b.reliability == reliability && b.channel == channel) return b;
        c.batches.emplace_back();
        BatchGroup& b = c.batches.back();
        b.reliability = reliability;
        b.channel = channel;
        return b;
    }

    // Sends what a batch holds as one message and empties it.
    void FlushBatch(ConnectionRecord& c, BatchGroup& batch) {
        if (batch.count == 0) return;
        batchMessage.Reset();
        batchMessage.Write(ID_REPLICA_SERIALIZATION_BATCH);
        batchMessage.Write(batch.count);
        batchMessage.WriteStream(batch.entries);
        if (!c.gone) Send(c, batchMessage, batch.reliability, batch.channel, batch.priority);
        batch.entries.Reset();
        batch.count = 0;
        batch.priority = LOW_PRIORITY;
    }

    void FlushBatches(ConnectionRecord& c) {
        for (BatchGroup& b : c.batches) FlushBatch(c, b);
    }

    // Every replica is asked once; what changed for a connection is gathered
    // into that connection's batches, which go out at the end of the tick
    // (after this tick's constructions, before the next tick's).
    void SerializationTick(uint32_t nowMs) {
        const HookVector<RecordPtr> records = SnapshotLocals();
        // Held for the whole tick: a callback that pops a connection marks it
        // gone, and its record stays valid until the batches are flushed.
        const HookVector<ConnectionPtr> candidates = connections;
        // Pairs are only added by the construction pass, never during a
        // tick, so their addresses hold until its end.
        struct Target {
            ConnectionRecord* connection;
            Pair* pair;
        };
        HookVector<Target> targets;
        targets.reserve(candidates.size());
        for (const RecordPtr& record : records) {
            if (record->gone) continue;
            record->replica->OnUserReplicaPreSerializeTick();
            if (record->gone) continue;
            targets.clear();
            for (const ConnectionPtr& c : candidates) {
                if (c->gone) continue;
                const Pair* found = record->PairOf(*c);
                if (!found || found->state != PairState::Constructed) continue;
                // A replica may ask to be destroyed on one connection: it is,
                // and it is not constructed there again.
                const bool destroy = record->replica->QueryDestruction(c->connection);
                if (record->gone) break;
                if (destroy) {
                    SendDestructionTo(record, *c);
                    if (record->gone) break;
                    if (Pair* again = record->PairOf(*c)) {
                        *again = Pair();
                        again->state = PairState::Never;
                    }
                    continue;
                }
                const SerializationQuery query = record->replica->QuerySerialization(c->connection);
                if (record->gone) break;
                if (query != SerializationQuery::CanSerialize) continue;
                if (Pair* pair = record->PairOf(*c)) targets.push_back({c.get(), pair});
            }
            if (record->gone || targets.empty()) continue;

            // A result for every connection is made once and reused; a
            // unique one is made again for each connection.
            SerializeParameters shared;
            bool haveShared = false;
            bool sharedForced = false;
            // Serialize is the only callback below; pairs stay where they are
            // while it runs unless it pops a connection (which marks it gone).
            for (const Target& target : targets) {
                if (record->gone) break;
                ConnectionRecord& c = *target.connection;
                if (c.gone) continue;
                if (haveShared) {
                    SendSerialization(*record, c, *target.pair, shared, sharedForced, true);
                    continue;
                }
                SerializeParameters p;
                p.destinationConnection = c.connection;
                p.curTimeMs = nowMs;
                const SerializationResult result = record->replica->Serialize(&p);
                if (record->gone) break;
                if (c.gone || result == SERIALIZE_DO_NOT) continue;
                const bool force = result == SERIALIZE_ALWAYS_IDENTICALLY;
                const bool forEveryone = result == SERIALIZE_BROADCAST_IDENTICALLY || result == SERIALIZE_ALWAYS_IDENTICALLY;
                if (forEveryone) {
                    // The version of each channel that every connection gets:
                    // the last one when nothing changed, so that pairs that
                    // have it see so at once.
                    for (int ch = 0; ch < REPLICA_CHANNEL_COUNT; ++ch) {
                        const BitStream& out = p.outputBitstream[ch];
                        SentPtr& version = record->shared[ch];
                        if (out.GetNumberOfBitsUsed() == 0) version.reset();
                        else if (!version || !version->Equals(out)) version = MakeSent(out);
                    }
                }
                SendSerialization(*record, c, *target.pair, p, force, forEveryone);
                if (forEveryone) {
                    shared = p;
                    haveShared = true;
                    sharedForced = force;
                }
            }
        }
        for (const ConnectionPtr& c : candidates) FlushBatches(*c);
    }

    // A connection leaves: every replica's pop rule decides what becomes of
    // it. With broadcast false (the peer is going, or the manager leaves it)
    // no destruction is sent.
    void PopConnection(const ConnectionPtr& c, bool broadcast) {
        c->gone = true;
        connections.erase(std::remove(connections.begin(), connections.end(), c), connections.end());
        for (auto& entry : locals)
            if (Pair* pair = entry.second->PairOf(*c)) *pair = Pair();
        if (c->slot < bySlot.size() && bySlot[c->slot] == c.get()) {
            bySlot[c->slot] = nullptr;
            freeSlots.push_back(c->slot);
        }

        HookVector<RecordPtr> records = SnapshotLocals();
        for (const auto& entry : c->received) records.push_back(entry.second);
        for (const auto& entry : byReplica)
            if (!entry.second->local && entry.second->source != c.get()) records.push_back(entry.second);

        for (const RecordPtr& record : records) {
            if (record->gone) continue;
            Replica* replica = record->replica;
            const PopAction action = replica->QueryActionOnPopConnection(c->connection);
            if (record->gone) continue;
            if (action == PopAction::DoNothing) {
                if (record->source == c.get()) {  // keep it, as an orphan
                    c->received.erase(record->id);
                    record->source = nullptr;
                }
                replica->OnPoppedConnection(c->connection);
                continue;
            }
            if (action == PopAction::DeleteAndBroadcastDestruction && broadcast && record->local) {
                SendDestruction(record);
                if (record->gone) continue;
            }
            Drop(record);
            replica->DeallocReplica(c->connection);
        }
        for (auto& entry : c->received) entry.second->source = nullptr;  // left by a callback
        c->received.clear();
    }

    void ReleaseConnection(const ConnectionPtr& c, bool broadcast) {
        PopConnection(c, broadcast);
        if (autoDestroy && c->connection) owner->DeallocConnection(c->connection);
        c->connection = nullptr;
    }

    void ReleaseAllConnections() {
        const HookVector<ConnectionPtr> all = connections;
        for (const ConnectionPtr& c : all)
            if (!c->gone) ReleaseConnection(c, false);
    }

    // ---- received messages ----

    void OnConstruction(const ConnectionPtr& c, BitStream& in) {
        NetworkId id = 0;
        BitStream allocation, construction;
        if (!in.Read(id) || !ReadSubStream(in, allocation) || !ReadSubStream(in, construction)) return;
        if (id == UNASSIGNED_NETWORK_ID || c->received.count(id)) return;  // duplicate or bogus
        Replica* replica = c->connection->AllocReplica(&allocation, owner);
        if (!replica) return;
        if (byReplica.count(replica) || c->gone) return;  // the factory handed out one we hold
        if (!replica->QueryRemoteConstruction(c->connection)) {
            replica->DeallocReplica(c->connection);
            return;
        }
        replica->creatingSystemGuid_ = c->guid;
        ids.load()->Register(replica, id);
        replica->replicaManager_ = owner;
        if (!replica->DeserializeConstruction(&construction, c->connection)) {
            replica->replicaManager_ = nullptr;
            RemovePending(replica);
            replica->DeallocReplica(c->connection);
            return;
        }
        if (c->gone || c->received.count(id) || byReplica.count(replica)) {  // a callback got in the way
            replica->replicaManager_ = nullptr;
            RemovePending(replica);
            replica->DeallocReplica(c->connection);
            return;
        }
        auto record = MakeHookShared<Record>();
        record->replica = replica;
        record->id = id;
        record->local = false;
        record->source = c.get();
        c->received[id] = record;
        byReplica[replica] = record;
        replica->PostDeserializeConstruction(c->connection);
    }

    void OnDestruction(const ConnectionPtr& c, BitStream& in) {
        NetworkId id = 0;
        BitStream body;
        if (!in.Read(id) || !ReadSubStream(in, body)) return;
        auto found = c->received.find(id);
        if (found == c->received.end()) return;
        const RecordPtr record = found->second;
        Replica* replica = record->replica;
        const bool accepted = replica->DeserializeDestruction(&body, c->connection);
        if (record->gone) return;
        if (accepted) {
            replica->PreDestruction(c->connection);
            if (record->gone) return;
        }
        // Refused or not, nothing of this replica will arrive again: it leaves
        // the manager. A refused destruction leaves the object to the application.
        Drop(record);
        if (accepted) replica->DeallocReplica(c->connection);
    }

    // Reads one serialisation entry (network id, sequence, channel mask, the
    // channels present) and hands it to its replica, leaving out channels
    // that a newer one has overtaken. False when the stream does not hold
    // the entry whole.
    bool OnSerializationEntry(const ConnectionPtr& c, BitStream& in) {
        NetworkId id = 0;
        uint32_t sequence = 0;
        uint8_t mask = 0;
        if (!in.Read(id) || !in.Read(sequence) || !in.Read(mask)) return false;
        auto found = c->received.find(id);
        if (found == c->received.end()) {  // unknown, or not constructed yet
            for (int ch = 0; ch < REPLICA_CHANNEL_COUNT; ++ch) {
                uint32_t bits = 0;
                if ((mask & (1u << ch)) && (!in.Read(bits) || !in.IgnoreBits(bits))) return false;
            }
            return true;
        }
        DeserializeParameters p;
        p.sourceConnection = c->connection;
        for (int ch = 0; ch < REPLICA_CHANNEL_COUNT; ++ch)
            if ((mask & (1u << ch)) && !ReadSubStream(in, p.serializationBitstream[ch])) return false;
        const RecordPtr record = found->second;
        bool any = false;
        for (int ch = 0; ch < REPLICA_CHANNEL_COUNT; ++ch) {
            if (!(mask & (1u << ch))) continue;
            if (!SequenceNewer(sequence, record->lastSequence[ch])) {  // overtaken by a newer one
                p.serializationBitstream[ch].Reset();
                continue;
            }
            record->lastSequence[ch] = sequence;
            p.bitstreamWrittenTo[ch] = true;
            any = true;
        }
        if (any) record->replica->Deserialize(&p);
        return true;
    }

    void OnSerialization(const ConnectionPtr& c, BitStream& in) { OnSerializationEntry(c, in); }

    // A batch: u16 count, then that many entries, each starting on a byte.
    // A batch whose entries go past its end is dropped whole; the others are
    // applied in order.
    void OnSerializationBatch(const ConnectionPtr& c, BitStream& in) {
        uint16_t count = 0;
        if (!in.Read(count)) return;
        const BitSize start = in.GetReadOffset();
        for (uint16_t i = 0; i < count; ++i)
            if (!SkipEntry(in) || !SkipToByte(in)) return;
        in.SetReadOffset(start);
        for (uint16_t i = 0; i < count && !c->gone; ++i)
            if (!OnSerializationEntry(c, in) || !SkipToByte(in)) return;
    }
};

// ---------------------------------------------------------------- Replica

Replica::Replica() = default;

Replica::~Replica() {
    if (ReplicaManager* manager = replicaManager_.load()) manager->Dereference(this);
}

ConstructionQuery Replica::QueryConstruction_ServerConstruction(Connection*, bool isThisTheServer) {
    return isThisTheServer ? ConstructionQuery::SendConstruction : ConstructionQuery::NeverConstruct;
}

bool Replica::QueryRemoteConstruction_ServerConstruction(Connection*, bool isThisTheServer) {
    return !isThisTheServer;
}

SerializationQuery Replica::QuerySerialization_ServerSerializable(Connection*, bool isThisTheServer) {
    return isThisTheServer ? SerializationQuery::CanSerialize : SerializationQuery::NeverSerialize;
}

PopAction Replica::QueryActionOnPopConnection_Server(Connection* droppedConnection) const {
    if (droppedConnection && droppedConnection->GetGuid() == creatingSystemGuid_)
        return PopAction::DeleteAndBroadcastDestruction;
    return PopAction::DoNothing;
}

void Replica::BroadcastDestruction() {
    if (ReplicaManager* manager = replicaManager_.load()) manager->BroadcastDestruction(this);
}

// ---------------------------------------------------------------- Connection

Connection::Connection(const SystemAddress& address, Guid guid) : address_(address), guid_(guid) {}
Connection::~Connection() = default;

SerializeParameters::SerializeParameters() {
    for (PacketReliability& r : reliability) r = RELIABLE_ORDERED;
}

// ---------------------------------------------------------------- ReplicaManager

ReplicaManager::ReplicaManager() : impl_(std::make_unique<Impl>(this)) {}

ReplicaManager::~ReplicaManager() {
    Impl& impl = *impl_;
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    {
        std::lock_guard<std::mutex> queueLock(impl.queueMutex);
        for (Replica* replica : impl.pendingReferences) replica->replicaManager_ = nullptr;
        impl.pendingReferences.clear();
    }
    // Received replicas belong to the manager and are given back; the
    // application's own ones are only let go.
    HookVector<Impl::RecordPtr> records;
    for (const auto& entry : impl.byReplica) records.push_back(entry.second);
    for (const Impl::RecordPtr& record : records) {
        if (record->gone) continue;
        Replica* replica = record->replica;
        Connection* source = record->source ? record->source->connection : nullptr;
        const bool owned = !record->local;
        impl.Drop(record);
        if (owned) replica->DeallocReplica(source);
    }
    // The connection factory is gone with the derived object: connections
    // still held (the manager was never detached) are deleted directly.
    for (const Impl::ConnectionPtr& c : impl.connections) {
        c->gone = true;
        delete c->connection;
    }
    impl.connections.clear();
}

void ReplicaManager::SetNetworkIdManager(NetworkIdManager* manager) {
    impl_->ids = manager ? manager : &impl_->ownIds;
}

NetworkIdManager* ReplicaManager::GetNetworkIdManager() const { return impl_->ids.load(); }

void ReplicaManager::SetAutoManageConnections(bool autoCreate, bool autoDestroy) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->autoCreate = autoCreate;
    impl_->autoDestroy = autoDestroy;
}

void ReplicaManager::SetAutoSerializeInterval(int intervalMs) {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->intervalMs = intervalMs;
}

void ReplicaManager::Reference(Replica* replica) {
    if (!replica) return;
    NetworkIdManager* ids = impl_->ids.load();
    std::lock_guard<std::mutex> lock(impl_->queueMutex);
    ReplicaManager* current = replica->replicaManager_.load();
    if (current && current != this) return;  // it belongs to another manager
    if (std::find(impl_->pendingReferences.begin(), impl_->pendingReferences.end(), replica) !=
        impl_->pendingReferences.end())
        return;
    if (!current && (replica->GetNetworkID() == UNASSIGNED_NETWORK_ID || replica->GetNetworkIDManager() != ids))
        ids->Assign(replica);
    replica->replicaManager_ = this;
    impl_->pendingReferences.push_back(replica);
    impl_->hasPending = true;
}

// Takes a replica out of the manager; with sendDestruction, a replica of this
// peer is first destroyed on every connection where it exists (a received one
// was constructed nowhere by this peer and just leaves).
void ReplicaManager::Release(Replica* replica, bool sendDestruction) {
    if (!replica) return;
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    if (replica->replicaManager_.load() != this) return;
    impl_->RemovePending(replica);
    auto found = impl_->byReplica.find(replica);
    if (found != impl_->byReplica.end()) {
        const Impl::RecordPtr record = found->second;
        if (sendDestruction && record->local) impl_->SendDestruction(record);
        impl_->Drop(record);
    }
    replica->replicaManager_ = nullptr;
}

void ReplicaManager::Dereference(Replica* replica) { Release(replica, false); }

void ReplicaManager::BroadcastDestruction(Replica* replica) { Release(replica, true); }

unsigned ReplicaManager::GetReplicaCount() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    std::lock_guard<std::mutex> queueLock(impl_->queueMutex);
    size_t count = impl_->byReplica.size();
    for (Replica* replica : impl_->pendingReferences) count += impl_->byReplica.count(replica) == 0;
    return static_cast<unsigned>(count);
}

unsigned ReplicaManager::GetConnectionCount() const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    return static_cast<unsigned>(impl_->connections.size());
}

Connection* ReplicaManager::GetConnectionByGuid(Guid guid) const {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    const Impl::ConnectionPtr c = impl_->FindConnection(guid);
    return c ? c->connection : nullptr;
}

void ReplicaManager::OnAttach() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->constructionPassDue = true;
}

void ReplicaManager::OnDetach() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->ReleaseAllConnections();
}

void ReplicaManager::OnPeerShutdown() {
    std::lock_guard<std::recursive_mutex> lock(impl_->mutex);
    impl_->ReleaseAllConnections();
}

void ReplicaManager::Update() {
    Impl& impl = *impl_;
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    impl.TakePendingReferences();
    bool tick = false;
    const Clock::time_point now = Clock::now();
    if (impl.intervalMs >= 0 && now - impl.lastTick >= std::chrono::milliseconds(impl.intervalMs)) {
        tick = true;
        // Ticks keep their schedule: a tick that comes late does not put the
        // next one off (a busy loop would otherwise stretch every interval by
        // its own delay). One that is more than a whole interval late starts
        // the schedule again from now, so that no burst of ticks catches up.
        const auto interval = std::chrono::milliseconds(impl.intervalMs);
        impl.lastTick += interval;
        if (now - impl.lastTick >= interval) impl.lastTick = now;
    }
    // Constructions go out as soon as a replica or a connection arrives;
    // replicas that answered NoAction are asked again at every tick.
    if (impl.constructionPassDue || (tick && impl.constructionRetryDue)) impl.ConstructionPass();
    if (tick) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - impl.start).count();
        impl.SerializationTick(static_cast<uint32_t>(ms));
    }
}

PluginReceiveResult ReplicaManager::OnReceive(Packet* packet) {
    if (!packet || !packet->data || packet->length == 0) return RR_CONTINUE_PROCESSING;
    const uint8_t messageId = packet->data[0];
    if (messageId < ID_REPLICA_FIRST || messageId > ID_REPLICA_LAST) return RR_CONTINUE_PROCESSING;
    Impl& impl = *impl_;
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    const Impl::ConnectionPtr c = impl.FindConnection(packet->guid);
    if (c && c->connection) {
        BitStream in(packet->data, packet->length, false);
        in.IgnoreBits(8);
        switch (messageId) {
            case ID_REPLICA_CONSTRUCTION: impl.OnConstruction(c, in); break;
            case ID_REPLICA_DESTRUCTION: impl.OnDestruction(c, in); break;
            case ID_REPLICA_SERIALIZATION: impl.OnSerialization(c, in); break;
            case ID_REPLICA_SERIALIZATION_BATCH: impl.OnSerializationBatch(c, in); break;
            default: break;  // reserved
        }
    }
    return RR_STOP_PROCESSING_AND_DEALLOCATE;
}

void ReplicaManager::OnNewConnection(const SystemAddress& address, Guid guid, bool) {
    Impl& impl = *impl_;
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    if (!impl.autoCreate || impl.FindConnection(guid)) return;
    Connection* connection = AllocConnection(address, guid);
    if (!connection) return;
    auto c = MakeHookShared<Impl::ConnectionRecord>();
    c->connection = connection;
    c->guid = guid;
    c->slot = impl.TakeSlot(c.get());
    impl.connections.push_back(c);
    impl.constructionPassDue = true;
}

void ReplicaManager::OnClosedConnection(const SystemAddress&, Guid guid, LostConnectionReason) {
    Impl& impl = *impl_;
    std::lock_guard<std::recursive_mutex> lock(impl.mutex);
    const Impl::ConnectionPtr c = impl.FindConnection(guid);
    if (c) impl.ReleaseConnection(c, true);
}

}  // namespace Net
