#include "net/Peer.h"

#include <arpa/inet.h>
#include <enet/enet.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#include "net/Allocation.h"
#include "net/NetAllocator.h"
#include "net/PluginInterface.h"

// How the peer works
//
// One ENet host per peer, serviced by the peer's own thread. That thread
// waits in poll() on the host's socket and on an eventfd; a Send puts its
// message in the outbox and signals the eventfd, so the service thread
// wakes and puts it on the wire at once (for a moment after any traffic the
// thread polls without sleeping, see ServiceThread). Senders never wait for
// the service thread's work on the socket. Every call on the ENet host or its
// peers, on any thread, is made under `mutex` (packets that no host holds are
// created and destroyed anywhere).
//
// Connection records are written under `mutex` and `connMutex` together, so
// the service thread reads them under `mutex` alone and the queries and Send
// under `connMutex` alone. Lock order: mutex before connMutex; outMutex,
// queueMutex, releasedMutex and pluginMutex are innermost (nothing else is
// taken while one is held). snapshotMutex is held by Receive throughout.
//
// The service thread turns ENet events into Packets and queues them; Receive
// (on the application's thread) takes them from the queue and runs the
// plug-ins there. A small received message is copied into a block from the
// peer's pool, a large one handed over in ENet's own buffer; released packets
// go back to the service thread to be reused or freed. Connection
// state lives in Conn records, one per ENet peer (an outgoing connection
// keeps its record across its connection attempts).
//
// A connection is established once the other side's hello has arrived and the
// other side has acknowledged ours (ENet's acknowledgement, or any further
// message from it, which it only sends once it has our hello): from then on
// both ends accept each other's traffic, so nothing sent after the connection
// event can be dropped as "before the hello" when the first datagrams were
// lost.
//
// Incoming connections that are not established yet ("pending") cost the
// peer next to nothing: they are counted apart from established ones, with
// bounds of their own (in all, per IP address, per remote host), they have
// HELLO_TIMEOUT_MS for the exchange, and ENet is told, datagram by datagram
// (the host's intercept callback), to take no packet from them longer than
// MAXIMUM_HANDSHAKE_MESSAGE_SIZE: ENet checks the size of a packet, and of the
// whole message that a fragment announces, before it allocates anything.
// Established connections get the peer's incoming message size the same way;
// between service calls the host's limit is the largest message we send.

namespace Net {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

constexpr uint32_t kDefaultTimeoutMs = 10000;
constexpr uint32_t kRejectTimeoutMs = 2000;     // a refused peer's ENet time-out
constexpr uint32_t kGracefulDisconnect = 1;     // ENet disconnect data of a graceful close
constexpr size_t kRejectSlots = 16;             // ENet slots beyond the maximum and the pending, to answer "full"
constexpr size_t kMaxEnetPeers = 4095;          // ENet's largest peer id
constexpr int kPollMs = 5;                      // ENet's timers are run at least this often
constexpr std::chrono::microseconds kSpinWindow{200};  // polling without sleep after traffic
constexpr size_t kBacklogCommands = 64;         // ENet commands queued for a connection: backlogged
constexpr Ms kFlowInterval{5};                  // how often the queues are looked at
constexpr size_t kFragmentBytes = 1200;         // about what one ENet command carries
constexpr size_t kMaxWaitingBytes = 32u << 20;  // reliable data waiting for one connection, at most
constexpr Ms kUnverifiedCheckInterval{100};       // how often unverified connections are looked at
constexpr size_t kHostBudgets = 4096;           // entries of the incoming budget tables
constexpr size_t kIpBudgets = 1024;
constexpr size_t kMinBudgetBurst = 65536;       // a whole datagram always fits
constexpr size_t kSmallDatagram = 128;          // read even beyond the budget
constexpr size_t kHelloSize = 9;
constexpr size_t kSocketBufferPerSlot = 32 * 1024;
constexpr size_t kMinSocketBuffer = 256 * 1024;       // ENet's own size
constexpr size_t kMaxSocketBuffer = 8 * 1024 * 1024;

void* ENET_CALLBACK EnetMalloc(size_t size) { return Net::Malloc(size); }
void ENET_CALLBACK EnetFree(void* p) { Net::Free(p); }

bool InitEnet() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        ENetCallbacks callbacks{};
        callbacks.malloc = EnetMalloc;
        callbacks.free = EnetFree;
        ok = enet_initialize_with_callbacks(ENET_VERSION, &callbacks) == 0;
    });
    return ok;
}

SystemAddress ToSystemAddress(const ENetAddress& a) { return SystemAddress(ntohl(a.host), a.port); }

enum class Notify : uint8_t { None, NewConnection, ClosedConnection };

// What the application gets is the first member of a block that also holds
// either the bytes themselves or the ENet packet whose bytes they are (a
// large received message is handed over without a copy), and what the
// receive queue keeps with it: the block is the queue's entry.
struct PacketBlock {
    Packet packet;
    ENetPacket* enetPacket = nullptr;
    PacketBlock* next = nullptr;  // in a receive queue
    bool pooled = false;          // a block of kBlockBytes, fit for the pool
    bool fromRemote = false;      // a message of the other side (not an event of ours)
    bool deliver = true;          // false: only a connection callback for the plug-ins
    bool incoming = false;
    Notify notify = Notify::None;  // the plug-ins' callback, with the packet's address and GUID
    LostConnectionReason reason = LCR_CONNECTION_LOST;
};
static_assert(std::is_standard_layout<PacketBlock>::value, "the Packet must sit at the start of its block");

// Messages up to kPooledBytes are copied into blocks of one size that the
// peer keeps for reuse (cheaper than ENet's three allocations held until
// the application releases the packet); larger ones keep ENet's buffer.
constexpr size_t kBlockBytes = 512;
constexpr size_t kPooledBytes = kBlockBytes - sizeof(PacketBlock);
constexpr size_t kPoolLimit = 1024;  // free blocks kept at most

Packet* InitBlock(void* block, size_t length, bool pooled) {
    auto* b = new (block) PacketBlock();
    b->pooled = pooled;
    b->packet.data = static_cast<unsigned char*>(block) + sizeof(PacketBlock);
    b->packet.length = static_cast<uint32_t>(length);
    b->packet.bitSize = static_cast<BitSize>(length * 8);
    return &b->packet;
}

// Takes over a received ENet packet (its size is within the bound).
Packet* WrapPacket(ENetPacket* enetPacket) {
    void* block = Malloc_Ex(sizeof(PacketBlock), __FILE__, __LINE__);
    if (!block) return nullptr;
    auto* b = new (block) PacketBlock();
    b->enetPacket = enetPacket;
    b->packet.data = enetPacket->data;
    b->packet.length = static_cast<uint32_t>(enetPacket->dataLength);
    b->packet.bitSize = static_cast<BitSize>(enetPacket->dataLength * 8);
    return &b->packet;
}

PacketBlock* BlockOf(Packet* p) { return reinterpret_cast<PacketBlock*>(p); }

void SetSender(Packet* p, const SystemAddress& address, Guid guid) {
    // Field by field: GCC's object-size check misreads the whole-struct copy
    // into a pooled block under ThreadSanitizer.
    p->systemAddress.address = address.address;
    p->systemAddress.port = address.port;
    p->guid = guid;
}

void FreePacket(Packet* p) {
    if (!p) return;
    PacketBlock* b = BlockOf(p);
    // A received ENet packet belongs to nobody but us once ENet has handed it
    // out, so it may be destroyed on any thread.
    if (b->enetPacket) enet_packet_destroy(b->enetPacket);
    b->~PacketBlock();
    Free_Ex(b, __FILE__, __LINE__);
}

// From the kernel's random source (which allocates nothing); should that
// fail, from the clocks and an address, mixed.
Guid MakeGuid() {
    for (uint64_t salt = 0;; ++salt) {
        uint64_t g = 0;
        if (::getrandom(&g, sizeof g, 0) != static_cast<ssize_t>(sizeof g)) {
            g = uint64_t(Clock::now().time_since_epoch().count()) ^
                uint64_t(std::chrono::system_clock::now().time_since_epoch().count()) * 0x9E3779B97F4A7C15ull ^
                reinterpret_cast<uintptr_t>(&g) ^ salt;
            g ^= g >> 31;
            g *= 0xBF58476D1CE4E5B9ull;
            g ^= g >> 29;
        }
        if (g != UNASSIGNED_GUID.g) return Guid(g);
    }
}

// A receive queue: blocks linked through `next`, oldest first. Linking
// touches only blocks that their writer or reader touches anyway.
struct BlockList {
    PacketBlock* head = nullptr;
    PacketBlock* tail = nullptr;

    bool empty() const { return head == nullptr; }
    void Push(PacketBlock* b) {
        b->next = nullptr;
        if (tail) tail->next = b;
        else head = b;
        tail = b;
    }
    // Moves all of `other` to the end of this list.
    void Append(BlockList& other) {
        if (other.empty()) return;
        if (tail) tail->next = other.head;
        else head = other.head;
        tail = other.tail;
        other.head = other.tail = nullptr;
    }
    PacketBlock* Pop() {
        PacketBlock* b = head;
        if (b) {
            head = b->next;
            if (!head) tail = nullptr;
            b->next = nullptr;
        }
        return b;
    }
    void FreeAll() {
        while (PacketBlock* b = Pop()) FreePacket(&b->packet);
    }
};

struct Conn {
    enum State {
        Connecting,     // outgoing, ENet not connected yet
        AwaitingHello,  // ENet connected; waiting for the hello exchange
        Established,
        Rejected,       // incoming beyond the maximum: told "full", being disconnected
        Closing,        // closed by us, the disconnect is going out
        Refused,        // outgoing, the other side said "full"
    };
    uint64_t serial = 0;
    ENetPeer* peer = nullptr;
    State state = Connecting;
    bool outgoing = false;
    bool helloReceived = false;
    bool helloAcked = false;
    ENetAddress enetAddress{};
    SystemAddress address;
    Guid guid;
    unsigned attemptsLeft = 0;
    uint32_t intervalMs = 0;
    uint32_t timeoutMs = 0;  // 0: the peer's default
    Clock::time_point deadline;
    // Flow control of an established connection (see FlowLocked).
    struct Waiting {
        ENetPacket* packet;
        uint8_t channel;
    };
    std::deque<Waiting, NetAllocator<Waiting>> waiting;
    size_t waitingBytes = 0;
    size_t queuedEstimate = 0;  // ENet's queue at the last look, plus what went to it since
    Clock::time_point nextFeed{};  // a full queue is looked at again from then
    bool overflowed = false;
};

using ConnAlloc = NetAllocator<Conn>;

// Small messages travel as bytes in the outbox's buffer, and the service
// thread makes their ENet packets itself: the sender's copy is then one
// append to a buffer that the service thread reads straight through, and the
// ENet packet is made, sent and freed where its memory is warm. A larger one
// is made into an ENet packet by the sender, outside the outbox's lock.
constexpr size_t kBufferedSendBytes = 4096;
constexpr size_t kKeptOutboxBytes = 1u << 20;  // buffer capacity kept between bursts

// The bytes of the buffered messages: appended and moved with memcpy (a
// vector over the hooks' allocator copies byte by byte), kept in memory of
// the installed hooks.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { Release(); }

    void Append(const unsigned char* bytes, size_t n) {
        if (n > capacity_ - size_) Grow(size_ + n);
        std::memcpy(data_ + size_, bytes, n);
        size_ += n;
    }
    const unsigned char* data() const { return data_; }
    size_t size() const { return size_; }
    size_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    void swap(ByteBuffer& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }
    // Gives the memory back.
    void Release() {
        if (data_) Free_Ex(data_, __FILE__, __LINE__);
        data_ = nullptr;
        size_ = capacity_ = 0;
    }

private:
    void Grow(size_t needed) {
        size_t capacity = std::max<size_t>(capacity_ * 2, 4096);
        while (capacity < needed) capacity *= 2;
        auto* grown = static_cast<unsigned char*>(Malloc_Ex(capacity, __FILE__, __LINE__));
        if (!grown) throw std::bad_alloc();
        if (size_ > 0) std::memcpy(grown, data_, size_);
        if (data_) Free_Ex(data_, __FILE__, __LINE__);
        data_ = grown;
        capacity_ = capacity;
    }

    unsigned char* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// A message on its way from Send to the service thread.
struct Out {
    ENetPacket* packet = nullptr;  // null: the bytes are in the outbox's buffer
    size_t offset = 0;             // of the bytes in the buffer
    uint32_t length = 0;
    enet_uint32 flags = 0;
    uint8_t channel = 0;
    bool broadcast = false;
    AddressOrGuid target;
};

}  // namespace

struct Peer::Impl {
    static void* operator new(size_t size) {
        void* p = Malloc_Ex(size, __FILE__, __LINE__);
        if (!p) throw std::bad_alloc();
        return p;
    }
    static void operator delete(void* p) { Free_Ex(p, __FILE__, __LINE__); }

    // The wake-up eventfd lives as long as the peer, so that a Send racing a
    // Shutdown never writes to a closed (or reused) descriptor.
    explicit Impl(Peer* owner)
        : self(owner), guid(MakeGuid()), wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Impl() {
        Stop(0);
        FreeReleased();  // releases that raced the shutdown
        FreePoolLocked();
        inbox.FreeAll();
        DiscardOutbox();  // sends that raced the shutdown
        if (wakeFd >= 0) ::close(wakeFd);
    }

    Peer* const self;
    const Guid guid;
    const int wakeFd;

    // The members are grouped by the threads that write them, with padding
    // between the groups: a Send, a pass of the service thread and a Receive
    // each write their own cache lines, and a thread that polls a flag does
    // not lose it to writes that are not meant for it.
    struct Pad {
        char bytes[64];
    };

    // Written rarely (connection changes, life cycle), read by every thread.
    ENetHost* host = nullptr;
    std::vector<Conn*, NetAllocator<Conn*>> conns;
    std::map<uint64_t, Conn*, std::less<uint64_t>, NetAllocator<std::pair<const uint64_t, Conn*>>> byGuid;
    uint32_t defaultTimeoutMs = kDefaultTimeoutMs;
    unsigned maxConnections = 0;
    size_t maxPending = 0;       // incoming connections in the hello exchange, in all
    size_t maxPendingPerIp = 0;  // and from one IP address
    uint64_t nextSerial = 1;
    std::atomic<unsigned> maxIncoming{0};
    std::atomic<size_t> maxIncomingMessage{MAXIMUM_MESSAGE_SIZE};
    // Incoming budgets in bytes per second and bytes of burst (0: none).
    std::atomic<size_t> hostRate{0}, hostBurst{0}, ipRate{0}, ipBurst{0};
    std::atomic<bool> active{false};
    std::atomic<bool> running{false};
    std::atomic<uint16_t> boundPort{0};
    std::atomic<bool> occasionalPing{false};
    // The service thread, made with pthread_create itself: std::thread would
    // allocate its state outside the memory hooks.
    pthread_t thread{};
    bool threadStarted = false;
    std::mutex lifeMutex;  // Startup and Shutdown
    Pad pad1;

    // The ENet host and every record above: the service thread's.
    mutable std::mutex mutex;
    // The outbox being handed to ENet (under `mutex`); it trades buffers with
    // the outbox, so that a steady flow allocates nothing for them.
    std::vector<Out, NetAllocator<Out>> drainBatch;
    ByteBuffer drainBytes;
    // Packets made during a service pass (under `mutex`) are published to
    // `queue` together; Receive takes the whole queue into `inbox` at once.
    // Either side thus takes queueMutex once per batch, not once per packet.
    BlockList pending;
    std::vector<Packet*, NetAllocator<Packet*>> releasing;  // under `mutex`
    // Free pooled blocks (under `mutex`). Recycling a block leaves its memory
    // alone; the block is only touched again when it is reused.
    std::vector<PacketBlock*, NetAllocator<PacketBlock*>> pool;
    // Incoming bytes, per remote host and per IP address (see AdmitBytes).
    struct Budget {
        uint64_t key = 0;  // the host or address, plus 1; 0: unused
        int64_t tokens = 0;
        Clock::time_point at{};
    };
    std::vector<Budget, NetAllocator<Budget>> hostBudgets, ipBudgets;
    // Per ENet slot: since when its connection is unverified, and which one it is.
    std::vector<Clock::time_point, NetAllocator<Clock::time_point>> unverifiedSince;
    std::vector<uint32_t, NetAllocator<uint32_t>> unverifiedId;
    Clock::time_point nextUnverifiedCheck{};
    Clock::time_point nextFlowCheck{};
    Pad pad2;

    // The senders'.
    mutable std::mutex connMutex;  // with `mutex` to write conns, byGuid and Conn::state/guid/address
    std::atomic<uint32_t> sendNumber{0};
    std::mutex outMutex;
    std::vector<Out, NetAllocator<Out>> outbox;
    ByteBuffer outBytes;  // of the buffered messages
    Pad pad3;
    // Set when the outbox turns non-empty, cleared when it is drained (both
    // under outMutex): the spinning service thread looks at it without the
    // lock, and a stream of sends writes it once.
    std::atomic<bool> outboxReady{false};
    Pad pad4;
    std::atomic<bool> wakePending{false};  // see ServiceThread
    Pad pad5;

    // Between the service thread and the receiver.
    std::mutex queueMutex;
    BlockList queue;
    std::atomic<bool> queued{false};  // lets an idle Receive skip the lock
    Pad pad6;

    // The receiver's.
    std::mutex pluginMutex;
    std::vector<PluginInterface*, NetAllocator<PluginInterface*>> plugins;
    std::atomic<uint64_t> pluginGeneration{1};
    // The receiving thread's copy of `plugins`, renewed when they change.
    std::vector<PluginInterface*, NetAllocator<PluginInterface*>> pluginSnapshot;
    uint64_t snapshotGeneration = 0;
    std::mutex snapshotMutex;  // one receiver at a time; guards the snapshot and inbox
    BlockList inbox;
    Pad pad7;

    // Received packets that the application has released: given back to the
    // service thread, which allocated them, for reuse or freeing.
    std::mutex releasedMutex;
    std::vector<Packet*, NetAllocator<Packet*>> released;

    void Release(Packet* p) {
        if (active.load()) {
            std::lock_guard<std::mutex> lock(releasedMutex);
            released.push_back(p);
            return;
        }
        FreePacket(p);
    }

    // Needs `mutex` (or the service thread stopped).
    void FreeReleased() {
        {
            std::lock_guard<std::mutex> lock(releasedMutex);
            if (released.empty()) return;
            releasing.swap(released);
        }
        for (Packet* p : releasing) RecycleLocked(p);
        releasing.clear();
    }

    // A packet of `length` bytes (at most kPooledBytes) for the receive queue.
    Packet* NewPacketLocked(size_t length) {
        void* block = nullptr;
        if (!pool.empty()) {
            PacketBlock* b = pool.back();
            pool.pop_back();
            b->~PacketBlock();
            block = b;
        } else {
            block = Malloc_Ex(kBlockBytes, __FILE__, __LINE__);
            if (!block) return nullptr;
        }
        return InitBlock(block, length, true);
    }

    // A pooled copy of a small received message.
    Packet* CopyPacketLocked(const unsigned char* bytes, size_t length) {
        Packet* p = NewPacketLocked(length);
        if (p) std::memcpy(p->data, bytes, length);
        return p;
    }

    void RecycleLocked(Packet* p) {
        PacketBlock* b = BlockOf(p);
        // The pool's room is reserved up front, so this never allocates.
        if (!b->pooled || pool.size() >= std::min(kPoolLimit, pool.capacity())) {
            FreePacket(p);
            return;
        }
        pool.push_back(b);
    }

    void FreePoolLocked() {
        for (PacketBlock* b : pool) {
            b->~PacketBlock();
            Free_Ex(b, __FILE__, __LINE__);
        }
        pool.clear();
    }

    using ConnLock = std::lock_guard<std::mutex>;

    // --- helpers (the ones named ...Locked need `mutex`) ---------------------

    void Wake() {
        // Looking first leaves the flag's cache line alone while the service
        // thread is awake.
        if (!wakePending.load() && !wakePending.exchange(true) && wakeFd >= 0) {
            const uint64_t one = 1;
            ssize_t r = ::write(wakeFd, &one, sizeof one);
            (void)r;
        }
    }

    void Push(Packet* p) { pending.Push(BlockOf(p)); }

    void PublishLocked() {
        if (pending.empty()) return;
        std::lock_guard<std::mutex> lock(queueMutex);
        queue.Append(pending);
        queued.store(true);
    }

    // A connection callback for the plug-ins, with the one-byte event `id`
    // for the application or, with `deliver` false, with nothing for it.
    void PushEvent(uint8_t id, const SystemAddress& address, Guid remote, Notify notify, bool incoming,
                   LostConnectionReason reason, bool deliver = true) {
        Packet* p = NewPacketLocked(deliver ? 1 : 0);
        if (!p) return;
        if (deliver) p->data[0] = id;
        SetSender(p, address, remote);
        PacketBlock* b = BlockOf(p);
        b->deliver = deliver;
        b->notify = notify;
        b->incoming = incoming;
        b->reason = reason;
        Push(p);
    }

    uint32_t TimeoutOf(const Conn* c) const { return c->timeoutMs ? c->timeoutMs : defaultTimeoutMs; }

    static void ApplyTimeout(ENetPeer* peer, uint32_t ms) {
        // ENet notices a silent peer only through unacknowledged reliable
        // traffic, so it pings well within the time-out.
        enet_peer_timeout(peer, 32, ms, ms);
        enet_peer_ping_interval(peer, std::min<uint32_t>(500, std::max<uint32_t>(ms / 2, 20)));
    }

    struct HelloToken {
        Impl* impl;
        uint64_t serial;
    };

    static void ENET_CALLBACK HelloReleased(ENetPacket* packet) {
        auto* token = static_cast<HelloToken*>(packet->userData);
        if (!token) return;
        // SENT is set when the last holder acknowledged it, not when it was
        // discarded by a reset.
        if (packet->flags & ENET_PACKET_FLAG_SENT) {
            for (Conn* c : token->impl->conns)
                if (c->serial == token->serial) c->helloAcked = true;
        }
        Free_Ex(token, __FILE__, __LINE__);
    }

    void SendHelloLocked(Conn* c) {
        unsigned char hello[kHelloSize];
        hello[0] = ID_NET_HELLO;
        for (int i = 0; i < 8; ++i) hello[1 + i] = static_cast<unsigned char>(guid.g >> (56 - 8 * i));
        ENetPacket* packet = enet_packet_create(hello, sizeof hello, ENET_PACKET_FLAG_RELIABLE);
        if (!packet) return;
        auto* token = static_cast<HelloToken*>(Malloc_Ex(sizeof(HelloToken), __FILE__, __LINE__));
        if (token) {
            token->impl = this;
            token->serial = c->serial;
            packet->userData = token;
            packet->freeCallback = HelloReleased;
        }
        if (enet_peer_send(c->peer, 0, packet) < 0) enet_packet_destroy(packet);
    }

    // A record that is not yet in `conns`: fill it in, then InsertConnLocked.
    Conn* NewConnLocked() {
        ConnAlloc alloc;
        Conn* c = alloc.allocate(1);
        new (c) Conn();
        c->serial = nextSerial++;
        return c;
    }

    void InsertConnLocked(Conn* c) {
        ConnLock w(connMutex);
        conns.push_back(c);
    }

    void SetStateLocked(Conn* c, Conn::State state) {
        ConnLock w(connMutex);
        c->state = state;
    }

    enum class PeerAction { Keep, Reset, DisconnectNow, DisconnectGracefully };

    // Forgets a connection record; what happens to its ENet peer is `action`.
    void DeleteConnLocked(Conn* c, PeerAction action) {
        {
            ConnLock w(connMutex);
            conns.erase(std::remove(conns.begin(), conns.end(), c), conns.end());
            auto it = byGuid.find(c->guid.g);
            if (it != byGuid.end() && it->second == c) byGuid.erase(it);
        }
        if (ENetPeer* peer = c->peer) {
            peer->data = nullptr;
            switch (action) {
                case PeerAction::Keep: break;
                case PeerAction::Reset: enet_peer_reset(peer); break;
                case PeerAction::DisconnectNow: enet_peer_disconnect_now(peer, 0); break;
                case PeerAction::DisconnectGracefully: enet_peer_disconnect_now(peer, kGracefulDisconnect); break;
            }
        }
        for (const Conn::Waiting& w : c->waiting)
            if (--w.packet->referenceCount == 0) enet_packet_destroy(w.packet);
        c->~Conn();
        ConnAlloc().deallocate(c, 1);
    }

    // Ends a connection whose hello exchange failed; an outgoing one reports
    // the failed attempt to the application.
    void AbandonHandshakeLocked(Conn* c) {
        const SystemAddress address = c->address;
        const bool outgoing = c->outgoing;
        DeleteConnLocked(c, PeerAction::DisconnectNow);
        if (outgoing)
            PushEvent(ID_CONNECTION_ATTEMPT_FAILED, address, UNASSIGNED_GUID, Notify::None, false,
                      LCR_CONNECTION_LOST);
    }

    Conn* FindEstablishedLocked(const AddressOrGuid& target) const {
        if (!target.guid.IsUnassigned()) {
            auto it = byGuid.find(target.guid.g);
            return it != byGuid.end() ? it->second : nullptr;
        }
        if (target.systemAddress.IsUnassigned()) return nullptr;
        for (Conn* c : conns)
            if (c->state == Conn::Established && c->address == target.systemAddress) return c;
        return nullptr;
    }

    // Connections of one kind from the address asked about (`ip`) and from
    // its host, the address and port (`host`, with the oldest of them).
    struct FromRemote {
        size_t ip = 0;
        size_t host = 0;
        Conn* oldest = nullptr;
        void Count(Conn* c, const SystemAddress* remote) {
            if (!remote || c->address.address != remote->address) return;
            ++ip;
            if (c->address.port != remote->port) return;
            ++host;
            if (!oldest || c->serial < oldest->serial) oldest = c;
        }
    };

    // What holds a place, counted in one walk. Outgoing attempts in progress
    // hold one among the maximum connections; incoming connections in the
    // hello exchange are pending and counted apart, except that one whose
    // hello has been taken holds its place already (it is established as soon
    // as its acknowledgement of ours arrives, and its side may count it
    // established before that).
    struct Census {
        size_t established = 0;
        size_t incomingEstablished = 0;
        size_t outgoingInProgress = 0;
        size_t helloTaken = 0;  // pending, with the hello taken
        size_t pending = 0;
        // From the address asked about: pending ones, and incoming ones
        // being told "full".
        FromRemote pendingFrom, rejectedFrom;
    };

    static bool Pending(const Conn* c) { return !c->outgoing && c->state == Conn::AwaitingHello; }

    Census CensusLocked(const SystemAddress* remote = nullptr) const {
        Census n;
        for (Conn* c : conns) {
            if (c->state == Conn::Established) {
                ++n.established;
                if (!c->outgoing) ++n.incomingEstablished;
            } else if (c->outgoing && (c->state == Conn::Connecting || c->state == Conn::AwaitingHello)) {
                ++n.outgoingInProgress;
            } else if (Pending(c)) {
                ++n.pending;
                if (c->helloReceived) ++n.helloTaken;
                n.pendingFrom.Count(c, remote);
            } else if (c->state == Conn::Rejected) {
                n.rejectedFrom.Count(c, remote);
            }
        }
        return n;
    }

    // Ends the host's oldest connection of the kind when it has
    // MAXIMUM_PENDING_PER_HOST of them; 1 when it did, else 0.
    size_t GiveUpOldestLocked(const FromRemote& from) {
        if (from.host < MAXIMUM_PENDING_PER_HOST || !from.oldest) return 0;
        DeleteConnLocked(from.oldest, PeerAction::DisconnectNow);
        return 1;
    }

    // No room for one more established incoming connection.
    bool FullLocked(const Census& n) const {
        return n.incomingEstablished + n.helloTaken >= maxIncoming.load() ||
               n.established + n.outgoingInProgress + n.helloTaken >= maxConnections;
    }

    bool StartAttemptLocked(Conn* c, Clock::time_point now) {
        c->deadline = now + Ms(c->intervalMs);
        c->helloReceived = c->helloAcked = false;
        c->peer = enet_host_connect(host, &c->enetAddress, NUMBER_OF_ORDERED_STREAMS, 0);
        if (!c->peer) return false;  // no free ENet slot: counts as a failed attempt
        c->peer->data = c;
        ApplyTimeout(c->peer, TimeoutOf(c));
        return true;
    }

    // --- service thread -----------------------------------------------------

    // Decides, for each datagram before ENet reads it, how large a packet ENet
    // may take from its sender (see "How the peer works"). Called inside
    // enet_host_service, on the service thread, which has set t_messageBound.
    static inline thread_local size_t t_messageBound = MAXIMUM_MESSAGE_SIZE;
    // The peer whose host is being serviced, when it takes incoming
    // connections (a peer without any needs no bounds on them).
    static inline thread_local Impl* t_server = nullptr;

    // Unverified: ENet has taken an incoming connect and sent its
    // verification, and waits for the acknowledgement; only with that does
    // the connection reach us (and get a record). Until then it holds an ENet
    // slot that ENet itself would keep for half a minute: a host that
    // connects over and over and never answers would take every free slot,
    // and no one else could connect. So unverified connections are bounded
    // like pending ones (from one remote host, where a further one replaces
    // the host's oldest, since the newest is the one its ENet waits for; from
    // one IP address, beyond which the connect is not taken) and live
    // HELLO_TIMEOUT_MS at most.
    static bool Unverified(const ENetPeer& p) {
        return !p.data && (p.state == ENET_PEER_STATE_ACKNOWLEDGING_CONNECT ||
                           p.state == ENET_PEER_STATE_CONNECTION_PENDING ||
                           p.state == ENET_PEER_STATE_CONNECTION_SUCCEEDED);
    }

    // Whether ENet may take the connect being received (see above).
    bool AdmitConnectLocked(ENetHost* h) {
        const ENetAddress& from = h->receivedAddress;
        size_t fromIp = 0, fromHost = 0;
        ENetPeer* oldest = nullptr;
        Clock::time_point oldestSince = Clock::time_point::max();
        for (size_t i = 0; i < h->peerCount; ++i) {
            ENetPeer& p = h->peers[i];
            if (p.address.host != from.host || !Unverified(p)) continue;
            ++fromIp;
            if (p.address.port != from.port) continue;
            ++fromHost;
            // Only those still waiting (the others are in ENet's dispatch queue).
            if (p.state != ENET_PEER_STATE_ACKNOWLEDGING_CONNECT) continue;
            const Clock::time_point since = i < unverifiedSince.size() && unverifiedSince[i] != Clock::time_point{}
                                                ? unverifiedSince[i] : Clock::time_point::max() - Ms(1);
            if (!oldest || since < oldestSince) {
                oldest = &p;
                oldestSince = since;
            }
        }
        if (fromHost >= MAXIMUM_PENDING_PER_HOST && oldest) {
            enet_peer_reset(oldest);
            --fromIp;
        }
        return fromIp < maxPendingPerIp;
    }

    // A server reads at most so many bytes a second from one remote host and
    // from one IP address, with a burst each (token buckets); a datagram
    // beyond either is dropped before ENet reads it, so a flood costs the
    // service thread one receive per datagram and nothing else, and the
    // sender's ENet sends its reliable data again later. The buckets are
    // direct-mapped tables: two keys that meet in one entry share it while
    // both are busy, and an idle entry (full again) goes to the newcomer.
    //
    // The bucket's bytes now (refilled since its last use, up to the burst).
    static int64_t Level(const Budget& b, size_t rate, size_t burst, Clock::time_point now) {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now - b.at).count();
        const double level = static_cast<double>(b.tokens) + static_cast<double>(rate) * static_cast<double>(us) / 1e6;
        return static_cast<int64_t>(std::min(level, static_cast<double>(burst)));
    }
    // Brings the entry up to now for `key`, which takes it over when it is
    // unused or idle (full again); true when it has `bytes`.
    static bool Has(Budget& b, uint64_t key, size_t rate, size_t burst, Clock::time_point now, size_t bytes) {
        const int64_t level = b.key == 0 ? static_cast<int64_t>(burst) : Level(b, rate, burst, now);
        if (b.key != key && level >= static_cast<int64_t>(burst)) b.key = key;
        b.tokens = level;
        b.at = now;
        return b.tokens >= static_cast<int64_t>(bytes);
    }
    bool AdmitBytesLocked(const ENetHost* h) {
        const size_t hr = hostRate.load(std::memory_order_relaxed), ir = ipRate.load(std::memory_order_relaxed);
        if ((!hr && !ir) || hostBudgets.empty() || ipBudgets.empty()) return true;
        const size_t bytes = h->receivedDataLength;
        const Clock::time_point now = Clock::now();
        const uint64_t ipKey = uint64_t{h->receivedAddress.host} + 1;
        const uint64_t hostKey = ((uint64_t{h->receivedAddress.host} << 16) | h->receivedAddress.port) + 1;
        Budget& hb = hostBudgets[static_cast<size_t>((hostKey * 0x9E3779B97F4A7C15ull) >> 32) % hostBudgets.size()];
        Budget& ib = ipBudgets[static_cast<size_t>((ipKey * 0x9E3779B97F4A7C15ull) >> 32) % ipBudgets.size()];
        const size_t hbst = hostBurst.load(std::memory_order_relaxed), ibst = ipBurst.load(std::memory_order_relaxed);
        const bool hostOk = !hr || Has(hb, hostKey, hr, hbst, now, bytes);
        const bool ipOk = !ir || Has(ib, ipKey, ir, ibst, now, bytes);
        // Small datagrams (acknowledgements, pings, a player's input) are read
        // even beyond the budget, and counted: a host whose bulk has spent it
        // must still acknowledge what it is sent, or the server's data to it
        // would wait in ENet's queues, which ENet walks on every send.
        const bool small = bytes <= kSmallDatagram;
        if (!small && (!hostOk || !ipOk)) return false;
        if (hr) hb.tokens = std::max(hb.tokens - static_cast<int64_t>(bytes), -static_cast<int64_t>(hbst));
        if (ir) ib.tokens = std::max(ib.tokens - static_cast<int64_t>(bytes), -static_cast<int64_t>(ibst));
        return true;
    }

    // Flow control. ENet walks a peer's whole queue of unsent commands on
    // every send while the peer's window is full, so a connection that does
    // not acknowledge (gone without a word, until its time-out) or reads
    // slowly would make every pass of the service thread longer with each
    // message queued for it, until the thread had no time for the others.
    // So while ENet holds kBacklogCommands or more for a connection, reliable
    // messages to it wait here in order (and go to ENet as its queue drains),
    // and unreliable ones are dropped (never sent out of order with the
    // reliable ones that wait). A connection with more than kMaxWaitingBytes
    // waiting is lost.
    void SendToLocked(Conn* c, ENetPacket* packet, uint8_t channel) {
        if (c->queuedEstimate < kBacklogCommands && c->waiting.empty()) {
            enet_peer_send(c->peer, channel, packet);
            c->queuedEstimate += packet->dataLength / kFragmentBytes + 1;
            return;
        }
        if (!(packet->flags & ENET_PACKET_FLAG_RELIABLE) || c->overflowed) return;
        if (c->waitingBytes + packet->dataLength > kMaxWaitingBytes) {
            c->overflowed = true;
            return;
        }
        try {
            c->waiting.push_back(Conn::Waiting{packet, channel});
        } catch (const std::bad_alloc&) {
            c->overflowed = true;
            return;
        }
        ++packet->referenceCount;  // held until it goes to ENet
        c->waitingBytes += packet->dataLength;
    }

    // Hands what waits for the connection to ENet, `all` of it or while its
    // queue is short.
    static void FeedLocked(Conn* c, bool all) {
        size_t queued = all ? 0 : QueuedCommands(c->peer, kBacklogCommands);
        while (!c->waiting.empty() && (all || queued < kBacklogCommands)) {
            const Conn::Waiting w = c->waiting.front();
            c->waiting.pop_front();
            const size_t bytes = w.packet->dataLength;
            c->waitingBytes -= bytes;
            enet_peer_send(c->peer, w.channel, w.packet);
            if (--w.packet->referenceCount == 0) enet_packet_destroy(w.packet);
            queued += bytes / kFragmentBytes + 1;
        }
        c->queuedEstimate = queued;
    }

    // ENet's unsent commands for the peer, counted up to `cap`.
    static size_t QueuedCommands(ENetPeer* peer, size_t cap) {
        size_t n = 0;
        for (ENetListIterator it = enet_list_begin(&peer->outgoingCommands);
             it != enet_list_end(&peer->outgoingCommands) && n < cap; it = enet_list_next(it))
            ++n;
        return n;
    }

    // Every pass: what waits goes to ENet as far as the queue has room (a
    // queue found without any room is looked at again after kFlowInterval); every
    // kFlowInterval: every connection's queue is counted again.
    void FlowLocked(Clock::time_point now) {
        const bool recount = now >= nextFlowCheck;
        if (recount) nextFlowCheck = now + kFlowInterval;
        for (size_t i = 0; i < conns.size();) {
            Conn* c = conns[i];
            const bool due = recount || ((!c->waiting.empty() || c->overflowed) && now >= c->nextFeed);
            if (c->state != Conn::Established || !c->peer || !due) {
                ++i;
                continue;
            }
            if (c->overflowed) {
                // Too much waiting: lost, as a silent one is at its time-out.
                const SystemAddress address = c->address;
                const Guid remote = c->guid;
                const bool incoming = !c->outgoing;
                DeleteConnLocked(c, PeerAction::DisconnectNow);
                PushEvent(ID_CONNECTION_LOST, address, remote, Notify::ClosedConnection, incoming,
                          LCR_CONNECTION_LOST);
                continue;
            }
            const size_t before = c->waiting.size();
            FeedLocked(c, false);
            // No room at all: the connection is not taking anything now.
            if (!c->waiting.empty() && c->waiting.size() == before) c->nextFeed = now + kFlowInterval;
            ++i;
        }
    }

    // Ends the unverified connections older than HELLO_TIMEOUT_MS, as ENet's
    // own time-out would: silently.
    void ExpireUnverifiedLocked(Clock::time_point now) {
        if (now < nextUnverifiedCheck) return;
        nextUnverifiedCheck = now + kUnverifiedCheckInterval;
        if (unverifiedSince.size() != host->peerCount || unverifiedId.size() != host->peerCount) {
            try {
                unverifiedSince.assign(host->peerCount, Clock::time_point{});
                unverifiedId.assign(host->peerCount, 0);
            } catch (const std::bad_alloc&) {
                unverifiedSince.clear();  // tried again at the next check
                return;
            }
        }
        for (size_t i = 0; i < host->peerCount; ++i) {
            ENetPeer& p = host->peers[i];
            Clock::time_point& since = unverifiedSince[i];
            // Those connected or about to be are in ENet's dispatch queue: left alone.
            if (!Unverified(p) || p.state != ENET_PEER_STATE_ACKNOWLEDGING_CONNECT) {
                since = Clock::time_point{};
            } else if (since == Clock::time_point{} || p.connectID != unverifiedId[i]) {
                since = now;
                unverifiedId[i] = p.connectID;
            } else if (now - since >= Ms(HELLO_TIMEOUT_MS)) {
                enet_peer_reset(&p);
                since = Clock::time_point{};
            }
        }
    }

    static int ENET_CALLBACK Intercept(ENetHost* h, ENetEvent*) {
        if (t_server && !t_server->AdmitBytesLocked(h)) return 1;
        size_t bound = MAXIMUM_HANDSHAKE_MESSAGE_SIZE;
        if (h->receivedDataLength >= 2) {
            // The datagram's first field: the peer id, with flags and session.
            const unsigned field = (unsigned{h->receivedData[0]} << 8) | h->receivedData[1];
            const unsigned id = field & ~unsigned{ENET_PROTOCOL_HEADER_FLAG_MASK | ENET_PROTOCOL_HEADER_SESSION_MASK};
            // No peer yet: a connect. Beyond the bounds of unverified
            // connections ENet never sees it (the sender's ENet repeats it).
            if (id == ENET_PROTOCOL_MAXIMUM_PEER_ID && t_server && !t_server->AdmitConnectLocked(h)) return 1;
            if (id < h->peerCount) {
                const ENetPeer& peer = h->peers[id];
                const auto* c = static_cast<const Conn*>(peer.data);
                if (c && peer.address.host == h->receivedAddress.host &&
                    peer.address.port == h->receivedAddress.port &&
                    (c->outgoing || c->state == Conn::Established || c->state == Conn::Closing ||
                     (c->state == Conn::AwaitingHello && c->helloReceived && c->helloAcked)))
                    bound = t_messageBound;
            }
        }
        // ENet allows a peer one more packet while its waiting data is below
        // maximumWaitingData, so a connection never holds twice the bound.
        h->maximumPacketSize = bound;
        h->maximumWaitingData = bound;
        return 0;
    }

    // Ends an ENet connection that has no record (and so no events).
    static void Drop(ENetPeer* peer) {
        peer->data = nullptr;
        enet_peer_disconnect_now(peer, 0);
    }

    // Tells an incoming connection that the server is full and ends it.
    void RejectLocked(Conn* c) {
        SetStateLocked(c, Conn::Rejected);
        const unsigned char id = ID_NO_FREE_INCOMING_CONNECTIONS;
        if (ENetPacket* packet = enet_packet_create(&id, 1, ENET_PACKET_FLAG_RELIABLE))
            if (enet_peer_send(c->peer, 0, packet) < 0) enet_packet_destroy(packet);
        ApplyTimeout(c->peer, kRejectTimeoutMs);
        enet_peer_disconnect_later(c->peer, 0);
    }

    // ENet narrows a peer's reliable window and drops its unreliable packets
    // when round trips grow longer than usual; under a burst of load that
    // starves the reliable queues, which ENet then walks in full on every
    // send, and the peers time out. The throttle may recover, never decline.
    static void KeepThrottleOpen(ENetPeer* peer) { peer->packetThrottleDeceleration = 0; }

    void OnConnectLocked(ENetPeer* peer, Clock::time_point now) {
        KeepThrottleOpen(peer);
        if (auto* c = static_cast<Conn*>(peer->data)) {
            if (c->state != Conn::Connecting) return;
            if (peer->channelCount < static_cast<size_t>(NUMBER_OF_ORDERED_STREAMS)) {
                // Not a peer of this protocol: our messages would not fit.
                AbandonHandshakeLocked(c);
                return;
            }
            SetStateLocked(c, Conn::AwaitingHello);
            c->deadline = now + Ms(TimeoutOf(c));
            SendHelloLocked(c);
            return;
        }
        // Game messages travel on channels beyond the first: a client with
        // fewer channels would lose them without a word.
        if (peer->channelCount < static_cast<size_t>(NUMBER_OF_ORDERED_STREAMS)) {
            Drop(peer);
            return;
        }
        const SystemAddress address = ToSystemAddress(peer->address);
        const Census n = CensusLocked(&address);
        if (FullLocked(n)) {
            // Connections being told "full" hold ENet slots until their
            // disconnection completes: under the same bounds as pending ones,
            // a host that connects over and over cannot take every free slot
            // (and with them the answer that others are owed).
            const size_t fromIp = n.rejectedFrom.ip - GiveUpOldestLocked(n.rejectedFrom);
            if (fromIp >= maxPendingPerIp) {
                Drop(peer);
                return;
            }
        } else {
            // A host that starts another exchange gives up its oldest; an
            // address or a server with too many exchanges gets no more.
            const size_t replaced = GiveUpOldestLocked(n.pendingFrom);
            const size_t pending = n.pending - replaced, fromIp = n.pendingFrom.ip - replaced;
            if (pending >= maxPending || fromIp >= maxPendingPerIp) {
                Drop(peer);
                return;
            }
        }
        Conn* c = NewConnLocked();
        c->peer = peer;
        peer->data = c;
        c->outgoing = false;
        c->enetAddress = peer->address;
        c->address = address;
        if (FullLocked(n)) {
            c->state = Conn::Rejected;
            InsertConnLocked(c);
            RejectLocked(c);
            return;
        }
        c->state = Conn::AwaitingHello;
        c->deadline = now + Ms(HELLO_TIMEOUT_MS);
        InsertConnLocked(c);
        ApplyTimeout(peer, TimeoutOf(c));
        SendHelloLocked(c);
    }

    // A hello's GUID must be assigned, not ours, and not one that another
    // connection (established or with its hello in) already has.
    bool AcceptableGuidLocked(const Conn* self, Guid g) const {
        if (g.IsUnassigned() || g == guid) return false;
        for (const Conn* c : conns)
            if (c != self && c->guid == g && (c->state == Conn::Established || c->helloReceived)) return false;
        return true;
    }

    void EstablishLocked(Conn* c) {
        {
            ConnLock w(connMutex);
            c->state = Conn::Established;
            byGuid[c->guid.g] = c;
        }
        PushEvent(c->outgoing ? ID_CONNECTION_REQUEST_ACCEPTED : ID_NEW_INCOMING_CONNECTION, c->address, c->guid,
                  Notify::NewConnection, !c->outgoing, LCR_CONNECTION_LOST);
    }

    static bool IsFullAnswer(const Conn* c, const unsigned char* d, size_t n) {
        return c->outgoing && n == 1 && d[0] == ID_NO_FREE_INCOMING_CONNECTIONS;
    }

    // Sets packetTaken when the packet went to the receive queue.
    void OnReceiveLocked(ENetPeer* peer, ENetPacket* packet, bool& packetTaken) {
        auto* c = static_cast<Conn*>(peer->data);
        const unsigned char* d = packet->data;
        const size_t n = packet->dataLength;
        if (!c || n == 0 || n > MAXIMUM_MESSAGE_SIZE) return;
        // Traffic after the other side's hello shows that it is established,
        // so it has our hello: that counts as the acknowledgement (which may
        // be in the same datagram, or lost). The "full" answer of a server
        // that filled up meanwhile does not.
        if (c->state == Conn::AwaitingHello && c->helloReceived && d[0] != ID_NET_HELLO && !IsFullAnswer(c, d, n)) {
            c->helloAcked = true;
            EstablishLocked(c);
        }
        switch (c->state) {
            case Conn::Established: {
                if (d[0] == ID_NET_HELLO) return;  // a repeated hello: ours, consumed
                Packet* p = n <= kPooledBytes ? CopyPacketLocked(d, n) : WrapPacket(packet);
                if (!p) return;
                packetTaken = n > kPooledBytes;
                SetSender(p, c->address, c->guid);
                BlockOf(p)->fromRemote = true;
                Push(p);
                return;
            }
            case Conn::AwaitingHello:
                if (d[0] == ID_NET_HELLO) {
                    if (c->helloReceived) return;  // a repeated hello
                    if (n != kHelloSize) {
                        AbandonHandshakeLocked(c);  // malformed: ends at once
                        return;
                    }
                    uint64_t g = 0;
                    for (size_t i = 1; i < kHelloSize; ++i) g = (g << 8) | d[i];
                    if (!AcceptableGuidLocked(c, Guid(g))) {
                        // No GUID, ours, or one that is connected already.
                        AbandonHandshakeLocked(c);
                        return;
                    }
                    if (!c->outgoing && FullLocked(CensusLocked())) {
                        // Filled up since ENet's connect.
                        RejectLocked(c);
                        return;
                    }
                    {
                        ConnLock w(connMutex);
                        c->guid = Guid(g);
                    }
                    c->helloReceived = true;
                } else if (IsFullAnswer(c, d, n)) {
                    SetStateLocked(c, Conn::Refused);
                    enet_peer_disconnect_later(peer, 0);
                    PushEvent(ID_NO_FREE_INCOMING_CONNECTIONS, c->address, UNASSIGNED_GUID, Notify::None, false,
                              LCR_CONNECTION_LOST);
                }
                return;  // anything else before the hello is dropped
            default:
                return;
        }
    }

    void OnDisconnectLocked(ENetPeer* peer, uint32_t data) {
        auto* c = static_cast<Conn*>(peer->data);
        if (!c) return;
        c->peer->data = nullptr;
        const bool graceful = data == kGracefulDisconnect;
        // The other side completed the exchange and closed at once, its
        // acknowledgement of our hello (or its graceful close, which only an
        // established side sends) arriving with the disconnect: it saw the
        // connection established, so it was.
        if (c->state == Conn::AwaitingHello && c->helloReceived && (c->helloAcked || graceful)) {
            c->helloAcked = true;
            EstablishLocked(c);
        }
        if (c->state == Conn::Established) {
            PushEvent(graceful ? ID_DISCONNECTION_NOTIFICATION : ID_CONNECTION_LOST, c->address, c->guid,
                      Notify::ClosedConnection, !c->outgoing,
                      graceful ? LCR_DISCONNECTION_NOTIFICATION : LCR_CONNECTION_LOST);
        } else if (c->outgoing && (c->state == Conn::Connecting || c->state == Conn::AwaitingHello)) {
            // This attempt is over; the next one starts at its deadline.
            c->peer = nullptr;
            c->helloReceived = c->helloAcked = false;
            SetStateLocked(c, Conn::Connecting);
            c->deadline = std::min(c->deadline, Clock::now() + Ms(c->intervalMs));
            return;
        }
        c->peer = nullptr;
        DeleteConnLocked(c, PeerAction::Keep);
    }

    // Promotions and deadlines, after ENet's events have been handled.
    void CheckConnsLocked(Clock::time_point now) {
        for (size_t i = 0; i < conns.size();) {
            Conn* c = conns[i];
            if (c->state == Conn::AwaitingHello && c->helloReceived && c->helloAcked) EstablishLocked(c);
            if (now < c->deadline) {
                ++i;
                continue;
            }
            if (c->state == Conn::Connecting) {
                if (c->peer) {
                    c->peer->data = nullptr;
                    enet_peer_reset(c->peer);
                    c->peer = nullptr;
                }
                if (c->attemptsLeft > 0) {
                    --c->attemptsLeft;
                    StartAttemptLocked(c, now);
                    ++i;
                    continue;
                }
                const SystemAddress address = c->address;
                DeleteConnLocked(c, PeerAction::Keep);
                PushEvent(ID_CONNECTION_ATTEMPT_FAILED, address, UNASSIGNED_GUID, Notify::None, false,
                          LCR_CONNECTION_LOST);
                continue;
            }
            if (c->state == Conn::AwaitingHello) {
                // ENet connected but the hello exchange never completed.
                AbandonHandshakeLocked(c);
                continue;
            }
            ++i;
        }
    }

    static bool SameTarget(const AddressOrGuid& a, const AddressOrGuid& b) {
        return a.guid == b.guid && a.systemAddress == b.systemAddress;
    }

    // Hands the outbox to ENet; false when it was empty.
    bool DrainOutboxLocked() {
        {
            std::lock_guard<std::mutex> lock(outMutex);
            if (outbox.empty()) return false;
            drainBatch.swap(outbox);
            drainBytes.swap(outBytes);
            outboxReady.store(false);
        }
        // A stream of sends mostly goes to one target: look it up once.
        const AddressOrGuid* lastTarget = nullptr;
        Conn* lastConn = nullptr;
        for (Out& o : drainBatch) {
            Conn* only = nullptr;
            if (!o.broadcast) {
                if (!lastTarget || !SameTarget(*lastTarget, o.target)) {
                    lastTarget = &o.target;
                    lastConn = FindEstablishedLocked(o.target);
                }
                only = lastConn;
                if (!only) {
                    // Gone meanwhile: dropped, as if it had been sent just before.
                    if (o.packet) enet_packet_destroy(o.packet);
                    continue;
                }
            }
            ENetPacket* packet = o.packet;
            if (!packet) packet = enet_packet_create(drainBytes.data() + o.offset, o.length, o.flags);
            if (!packet) continue;
            if (only) {
                SendToLocked(only, packet, o.channel);
            } else {
                const Conn* except = FindEstablishedLocked(o.target);
                for (Conn* c : conns)
                    if (c->state == Conn::Established && c != except) SendToLocked(c, packet, o.channel);
            }
            if (packet->referenceCount == 0) enet_packet_destroy(packet);
        }
        drainBatch.clear();
        drainBytes.clear();
        // A burst of sends may have grown the buffer far beyond the usual flow.
        if (drainBytes.capacity() > kKeptOutboxBytes) drainBytes.Release();
        return true;
    }

    void DiscardOutbox() {
        std::vector<Out, NetAllocator<Out>> batch;
        {
            std::lock_guard<std::mutex> lock(outMutex);
            batch.swap(outbox);
            outBytes.Release();
            outboxReady.store(false);
        }
        for (Out& o : batch)
            if (o.packet) enet_packet_destroy(o.packet);
    }

    // One pass over ENet; true when anything came in or went out.
    bool ServiceLocked() {
        FreeReleased();
        bool active = DrainOutboxLocked();
        ENetEvent event;
        const Clock::time_point now = Clock::now();
        // One service call takes every datagram waiting on the socket and
        // acknowledges them together; its events are drained without further
        // socket work. The pass then publishes what came in, so that the
        // receiver works on a burst while the rest of it arrives.
        t_messageBound = maxIncomingMessage.load(std::memory_order_relaxed);
        t_server = maxIncoming.load(std::memory_order_relaxed) > 0 ? this : nullptr;
        int r = enet_host_service(host, &event, 0);
        host->maximumPacketSize = MAXIMUM_MESSAGE_SIZE;  // for our own sends
        while (r > 0) {
            active = true;
            switch (event.type) {
                case ENET_EVENT_TYPE_CONNECT: OnConnectLocked(event.peer, now); break;
                case ENET_EVENT_TYPE_RECEIVE:
                {
                    bool taken = false;
                    OnReceiveLocked(event.peer, event.packet, taken);
                    if (!taken) enet_packet_destroy(event.packet);
                    break;
                }
                case ENET_EVENT_TYPE_DISCONNECT: OnDisconnectLocked(event.peer, event.data); break;
                case ENET_EVENT_TYPE_NONE: break;
            }
            r = enet_host_check_events(host, &event);
        }
        CheckConnsLocked(Clock::now());
        FlowLocked(Clock::now());
        ExpireUnverifiedLocked(Clock::now());
        enet_host_flush(host);
        PublishLocked();
        return active;
    }

    // `wakePending` is set while the service thread is awake: it looks at the
    // outbox before it sleeps again, so a Send then needs no system call.
    // Before sleeping the thread clears the flag and looks at the outbox once
    // more; a Send after that look finds the flag clear and signals the
    // eventfd (its packet is in the outbox before it looks at the flag).
    //
    // For a short while after any traffic the thread polls without sleeping,
    // so that the answer to what it just sent, or the next message of a
    // burst, is handled without the cost of waking it.
    void ServiceThread() {
        const int socketFd = static_cast<int>(host->socket);
        Clock::time_point lastActivity{};
        Clock::time_point lastService = Clock::now();
        while (running.load()) {
            const Clock::time_point now = Clock::now();
            const bool spinning = now - lastActivity < kSpinWindow;
            bool ready = HasQueuedSends();
            if (!ready && !spinning) {
                wakePending.store(false);
                ready = HasQueuedSends();
            }
            if (!ready && running.load()) {
                pollfd fds[2] = {{socketFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
                const int n = ::poll(fds, 2, spinning ? 0 : kPollMs);
                if (fds[1].revents & POLLIN) {
                    uint64_t count;
                    ssize_t r = ::read(wakeFd, &count, sizeof count);
                    (void)r;
                }
                // Nothing yet: go on looking, servicing ENet's timers as usual.
                if (n <= 0 && spinning && now - lastService < Ms(kPollMs)) {
                    std::this_thread::yield();  // others on this core go first
                    continue;
                }
            }
            wakePending.store(true);
            bool active;
            {
                std::lock_guard<std::mutex> lock(mutex);
                active = ServiceLocked();
            }
            lastService = Clock::now();
            if (active) lastActivity = lastService;
        }
    }

    bool HasQueuedSends() const { return outboxReady.load(); }

    static void* ServiceEntry(void* self) {
        static_cast<Impl*>(self)->ServiceThread();
        return nullptr;
    }

    // --- life cycle -----------------------------------------------------------

    StartupResult Start(unsigned maxConn, const SocketDescriptor* descriptors, unsigned count) {
        std::lock_guard<std::mutex> life(lifeMutex);
        if (active.load()) return ALREADY_STARTED;
        if (maxConn == 0) return INVALID_MAX_CONNECTIONS;
        if (!descriptors || count == 0) return INVALID_SOCKET_DESCRIPTORS;
        if (!InitEnet()) return SOCKET_FAILED_TO_BIND;

        ENetAddress address{};
        address.host = ENET_HOST_ANY;
        address.port = descriptors[0].port;
        char hostText[sizeof descriptors[0].hostAddress + 1] = {};
        std::memcpy(hostText, descriptors[0].hostAddress, sizeof descriptors[0].hostAddress);
        if (hostText[0] && enet_address_set_host_ip(&address, hostText) != 0) return INVALID_SOCKET_DESCRIPTORS;

        // Room for the established connections, as many pending ones, and a
        // few to be told that the server is full.
        const size_t slots = std::min<size_t>(2 * size_t{maxConn} + kRejectSlots, kMaxEnetPeers);
        ENetHost* h = enet_host_create(&address, slots, NUMBER_OF_ORDERED_STREAMS, 0, 0);
        if (!h) return SOCKET_FAILED_TO_BIND;
        h->maximumPacketSize = MAXIMUM_MESSAGE_SIZE;
        h->maximumWaitingData = MAXIMUM_HANDSHAKE_MESSAGE_SIZE;
        h->intercept = Intercept;
        // ENet's 256 KiB socket buffers hold a few hundred datagrams: a host
        // with many peers overflows them (and loses datagrams, which ENet
        // then resends late) while it sends one tick's traffic. They grow
        // with the slots, up to what the system allows.
        const int socketBuffer = static_cast<int>(std::clamp<size_t>(slots * kSocketBufferPerSlot, kMinSocketBuffer, kMaxSocketBuffer));
        enet_socket_set_option(h->socket, ENET_SOCKOPT_RCVBUF, socketBuffer);
        enet_socket_set_option(h->socket, ENET_SOCKOPT_SNDBUF, socketBuffer);
        ENetAddress bound{};
        if (enet_socket_get_address(h->socket, &bound) == 0) boundPort.store(bound.port);
        else boundPort.store(address.port);

        if (wakeFd < 0) {
            enet_host_destroy(h);
            boundPort.store(0);
            return FAILED_TO_CREATE_NETWORK_THREAD;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            host = h;
            maxConnections = maxConn;
            maxPending = maxConn;
            maxPendingPerIp = std::max<size_t>(maxConn / 2, MAXIMUM_PENDING_PER_HOST);
            try {
                pool.reserve(kPoolLimit);
            } catch (const std::bad_alloc&) {
                // No room for a pool: every block is freed when released.
            }
            try {
                hostBudgets.assign(kHostBudgets, Budget{});
                ipBudgets.assign(kIpBudgets, Budget{});
            } catch (const std::bad_alloc&) {
                hostBudgets.clear();  // no budgets: every datagram is read
                ipBudgets.clear();
            }
        }
        running.store(true);
        threadStarted = ::pthread_create(&thread, nullptr, &Impl::ServiceEntry, this) == 0;
        if (!threadStarted) {
            running.store(false);
            std::lock_guard<std::mutex> lock(mutex);
            enet_host_destroy(host);
            host = nullptr;
            boundPort.store(0);
            return FAILED_TO_CREATE_NETWORK_THREAD;
        }
        active.store(true);
        return STARTED;
    }

    void Stop(unsigned blockDurationMs) {
        std::lock_guard<std::mutex> life(lifeMutex);
        if (!active.load()) return;
        {
            std::vector<PluginInterface*, NetAllocator<PluginInterface*>> current;
            {
                std::lock_guard<std::mutex> lock(pluginMutex);
                current = plugins;
            }
            for (PluginInterface* p : current) p->OnPeerShutdown();
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            DrainOutboxLocked();
            for (size_t i = 0; i < conns.size();) {
                Conn* c = conns[i];
                if (c->state == Conn::Established && c->peer) {
                    FeedLocked(c, true);
                    SetStateLocked(c, Conn::Closing);
                    enet_peer_disconnect_later(c->peer, kGracefulDisconnect);
                    ++i;
                } else if (c->state == Conn::Connecting || c->state == Conn::AwaitingHello) {
                    DeleteConnLocked(c, PeerAction::DisconnectNow);
                } else {
                    ++i;
                }
            }
            ConnLock w(connMutex);
            byGuid.clear();
        }
        Wake();
        // Let the disconnects go out and be acknowledged.
        const Clock::time_point until = Clock::now() + Ms(blockDurationMs);
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (conns.empty()) break;
            }
            if (Clock::now() >= until) break;
            std::this_thread::sleep_for(Ms(1));
        }
        running.store(false);
        Wake();
        if (threadStarted) {
            ::pthread_join(thread, nullptr);
            threadStarted = false;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            while (!conns.empty()) {
                Conn* c = conns.back();
                DeleteConnLocked(c, c->state == Conn::Closing ? PeerAction::DisconnectGracefully
                                                              : PeerAction::DisconnectNow);
            }
            DiscardOutbox();
            enet_host_flush(host);
            enet_host_destroy(host);
            host = nullptr;
            pending.FreeAll();
        }
        wakePending.store(false);
        boundPort.store(0);
        active.store(false);
        {
            // From here on a released packet is freed at once.
            std::lock_guard<std::mutex> lock(mutex);
            FreeReleased();
            FreePoolLocked();
        }
        BlockList left;
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            left.Append(queue);
            queued.store(false);
        }
        left.FreeAll();
        // Unless Shutdown was called from inside Receive (a plug-in), what the
        // receiver had taken goes too; otherwise it goes with the peer.
        std::unique_lock<std::mutex> receiving(snapshotMutex, std::try_to_lock);
        if (receiving.owns_lock()) inbox.FreeAll();
    }
};

// --- Peer ---------------------------------------------------------------------

SocketDescriptor::SocketDescriptor(uint16_t p, const char* host) : port(p) {
    if (host) {
        std::strncpy(hostAddress, host, sizeof hostAddress - 1);
        hostAddress[sizeof hostAddress - 1] = '\0';
    }
}

Peer::Peer() : impl_(new Impl(this)) {}
Peer::~Peer() = default;

Peer* Peer::GetInstance() {
    void* block = Malloc_Ex(sizeof(Peer), __FILE__, __LINE__);
    if (!block) throw std::bad_alloc();
    try {
        return new (block) Peer();
    } catch (...) {
        Free_Ex(block, __FILE__, __LINE__);
        throw;
    }
}

void Peer::DestroyInstance(Peer* peer) {
    if (!peer) return;
    peer->Shutdown();
    peer->~Peer();
    Free_Ex(peer, __FILE__, __LINE__);
}

StartupResult Peer::Startup(unsigned maxConnections, const SocketDescriptor* descriptors, unsigned descriptorCount,
                            int /*threadPriority*/) {
    return impl_->Start(maxConnections, descriptors, descriptorCount);
}

void Peer::Shutdown(unsigned blockDurationMs) { impl_->Stop(blockDurationMs); }

bool Peer::IsActive() const { return impl_->active.load(); }

void Peer::SetMaximumIncomingConnections(unsigned count) { impl_->maxIncoming.store(count); }
unsigned Peer::GetMaximumIncomingConnections() const { return impl_->maxIncoming.load(); }

void Peer::SetMaximumIncomingMessageSize(size_t bytes) {
    if (bytes == 0 || bytes > MAXIMUM_MESSAGE_SIZE) bytes = MAXIMUM_MESSAGE_SIZE;
    impl_->maxIncomingMessage.store(std::max(bytes, MAXIMUM_HANDSHAKE_MESSAGE_SIZE));
}
size_t Peer::GetMaximumIncomingMessageSize() const { return impl_->maxIncomingMessage.load(); }

void Peer::SetIncomingBudget(size_t hostBytesPerSecond, size_t hostBurst, size_t ipBytesPerSecond, size_t ipBurst) {
    impl_->hostBurst.store(std::max(hostBurst, kMinBudgetBurst));
    impl_->ipBurst.store(std::max(ipBurst, kMinBudgetBurst));
    impl_->hostRate.store(hostBytesPerSecond);
    impl_->ipRate.store(ipBytesPerSecond);
}

ConnectionAttemptResult Peer::Connect(const char* host, uint16_t remotePort, const char* /*passwordData*/,
                                      int /*passwordDataLength*/, void* /*publicKey*/,
                                      unsigned /*connectionSocketIndex*/, unsigned sendConnectionAttemptCount,
                                      unsigned timeBetweenSendConnectionAttemptsMs, uint32_t timeoutTime) {
    Impl& m = *impl_;
    if (!host || !host[0] || remotePort == 0 || !m.active.load()) return INVALID_PARAMETER;
    ENetAddress address{};
    address.port = remotePort;
    if (enet_address_set_host(&address, host) != 0) return CANNOT_RESOLVE_DOMAIN_NAME;

    std::lock_guard<std::mutex> lock(m.mutex);
    if (!m.host) return INVALID_PARAMETER;
    const SystemAddress target = ToSystemAddress(address);
    for (const Conn* c : m.conns) {
        if (c->address != target) continue;
        if (c->state == Conn::Established) return ALREADY_CONNECTED_TO_ENDPOINT;
        if (c->outgoing && (c->state == Conn::Connecting || c->state == Conn::AwaitingHello))
            return CONNECTION_ATTEMPT_ALREADY_IN_PROGRESS;
    }
    const Impl::Census n = m.CensusLocked();
    if (n.established + n.outgoingInProgress + n.helloTaken >= m.maxConnections) return INVALID_PARAMETER;

    Conn* c = m.NewConnLocked();
    c->outgoing = true;
    c->state = Conn::Connecting;
    c->enetAddress = address;
    c->address = target;
    c->attemptsLeft = (sendConnectionAttemptCount ? sendConnectionAttemptCount : 1) - 1;
    c->intervalMs = std::max(timeBetweenSendConnectionAttemptsMs, 1u);
    c->timeoutMs = timeoutTime;
    m.InsertConnLocked(c);
    m.StartAttemptLocked(c, Clock::now());
    m.Wake();
    return CONNECTION_ATTEMPT_STARTED;
}

void Peer::CloseConnection(const AddressOrGuid& target, bool sendDisconnectionNotification) {
    Impl& m = *impl_;
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        if (!m.host) return;
        m.DrainOutboxLocked();  // what was sent before the close goes first
        Conn* c = m.FindEstablishedLocked(target);
        if (!c) {
            // Perhaps an attempt in progress: give it up quietly.
            for (Conn* p : m.conns)
                if (p->outgoing && (p->state == Conn::Connecting || p->state == Conn::AwaitingHello) &&
                    target.guid.IsUnassigned() && p->address == target.systemAddress) {
                    m.DeleteConnLocked(p, Impl::PeerAction::DisconnectNow);
                    break;
                }
            return;
        }
        const SystemAddress address = c->address;
        const Guid remote = c->guid;
        {
            Impl::ConnLock w(m.connMutex);
            auto it = m.byGuid.find(c->guid.g);
            if (it != m.byGuid.end()) m.byGuid.erase(it);
        }
        if (sendDisconnectionNotification) {
            Impl::FeedLocked(c, true);
            m.SetStateLocked(c, Conn::Closing);
            enet_peer_disconnect_later(c->peer, kGracefulDisconnect);
        } else {
            m.DeleteConnLocked(c, Impl::PeerAction::Reset);
        }
        m.PushEvent(0, address, remote, Notify::ClosedConnection, false, LCR_CLOSED_BY_USER, false);
        m.PublishLocked();
    }
    m.Wake();
}

uint32_t Peer::Send(const BitStream* bitStream, PacketPriority priority, PacketReliability reliability,
                    char orderingChannel, const AddressOrGuid& target, bool broadcast, uint32_t forceReceiptNumber) {
    if (!bitStream) return 0;
    const size_t bytes = bitStream->GetNumberOfBytesUsed();
    if (bytes > MAXIMUM_MESSAGE_SIZE) return 0;
    return Send(reinterpret_cast<const char*>(bitStream->GetData()), static_cast<int>(bytes), priority, reliability,
                orderingChannel, target, broadcast, forceReceiptNumber);
}

uint32_t Peer::Send(const char* data, int length, PacketPriority /*priority*/, PacketReliability reliability,
                    char orderingChannel, const AddressOrGuid& target, bool broadcast,
                    uint32_t forceReceiptNumber) {
    Impl& m = *impl_;
    if (!data || length <= 0 || static_cast<size_t>(length) > MAXIMUM_MESSAGE_SIZE) return 0;
    const auto channel = static_cast<unsigned char>(orderingChannel);
    if (channel >= NUMBER_OF_ORDERED_STREAMS) return 0;
    enet_uint32 flags;
    switch (reliability) {
        case UNRELIABLE: flags = ENET_PACKET_FLAG_UNSEQUENCED; break;
        case UNRELIABLE_SEQUENCED: flags = 0; break;
        case RELIABLE:
        case RELIABLE_ORDERED:
        case RELIABLE_SEQUENCED: flags = ENET_PACKET_FLAG_RELIABLE; break;
        default: return 0;
    }
    if (!m.active.load()) return 0;
    bool anyone = false;
    {
        Impl::ConnLock r(m.connMutex);
        if (broadcast) {
            const Conn* except = m.FindEstablishedLocked(target);
            for (const Conn* c : m.conns)
                if (c->state == Conn::Established && c != except) {
                    anyone = true;
                    break;
                }
        } else {
            anyone = m.FindEstablishedLocked(target) != nullptr;
        }
    }
    if (!anyone) return 0;
    Out o;
    o.length = static_cast<uint32_t>(length);
    o.flags = flags;
    o.channel = channel;
    o.broadcast = broadcast;
    o.target = target;
    if (o.length > kBufferedSendBytes) {
        // The copy into ENet's packet needs no lock.
        o.packet = enet_packet_create(data, o.length, flags);
        if (!o.packet) return 0;
    }
    {
        std::lock_guard<std::mutex> lock(m.outMutex);
        if (!o.packet) {
            o.offset = m.outBytes.size();
            m.outBytes.Append(reinterpret_cast<const unsigned char*>(data), o.length);
        }
        m.outbox.push_back(o);
        if (m.outbox.size() == 1) m.outboxReady.store(true);
    }
    m.Wake();
    if (forceReceiptNumber) return forceReceiptNumber;
    uint32_t number = m.sendNumber.fetch_add(1) + 1;
    while (number == 0) number = m.sendNumber.fetch_add(1) + 1;
    return number;
}

Packet* Peer::Receive() {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> receiving(m.snapshotMutex);
    auto& plugins = m.pluginSnapshot;
    if (m.snapshotGeneration != m.pluginGeneration.load()) {
        std::lock_guard<std::mutex> lock(m.pluginMutex);
        plugins = m.plugins;
        m.snapshotGeneration = m.pluginGeneration.load();
    }
    for (PluginInterface* p : plugins) p->Update();
    for (;;) {
        if (m.inbox.empty()) {
            if (!m.queued.load()) return nullptr;
            std::lock_guard<std::mutex> lock(m.queueMutex);
            m.inbox.Append(m.queue);
            m.queued.store(false);
            if (m.inbox.empty()) return nullptr;
        }
        PacketBlock* block = m.inbox.Pop();
        Packet* packet = &block->packet;
        if (block->notify == Notify::NewConnection)
            for (PluginInterface* p : plugins) p->OnNewConnection(packet->systemAddress, packet->guid, block->incoming);
        else if (block->notify == Notify::ClosedConnection)
            for (PluginInterface* p : plugins) p->OnClosedConnection(packet->systemAddress, packet->guid, block->reason);
        if (!block->deliver) {
            m.Release(packet);
            continue;
        }
        bool consumed = false;
        for (PluginInterface* p : plugins)
            if (p->OnReceive(packet) == RR_STOP_PROCESSING_AND_DEALLOCATE) {
                consumed = true;
                break;
            }
        // The other side's messages below the user range are the library's
        // own; they never reach the application, consumed or not.
        if (consumed || (block->fromRemote && packet->data[0] < ID_USER_PACKET_ENUM)) {
            m.Release(packet);
            continue;
        }
        return packet;
    }
}

void Peer::DeallocatePacket(Packet* packet) {
    if (packet) impl_->Release(packet);
}

Guid Peer::GetMyGUID() const { return impl_->guid; }

uint16_t Peer::GetBoundPort() const { return impl_->boundPort.load(); }

void Peer::SetTimeoutTime(uint32_t timeMs, const SystemAddress& target) {
    Impl& m = *impl_;
    if (timeMs == 0) timeMs = kDefaultTimeoutMs;
    std::lock_guard<std::mutex> lock(m.mutex);
    if (target.IsUnassigned()) {
        m.defaultTimeoutMs = timeMs;
        for (Conn* c : m.conns) {
            c->timeoutMs = 0;
            if (c->peer && c->state != Conn::Rejected) Impl::ApplyTimeout(c->peer, timeMs);
        }
        return;
    }
    for (Conn* c : m.conns)
        if (c->address == target && c->state != Conn::Rejected) {
            c->timeoutMs = timeMs;
            if (c->peer) Impl::ApplyTimeout(c->peer, timeMs);
        }
}

// ENet's keep-alive pings always run (they are what detects a silent peer),
// so this only records the wish.
void Peer::SetOccasionalPing(bool doPing) { impl_->occasionalPing.store(doPing); }

void Peer::AttachPlugin(PluginInterface* plugin) {
    if (!plugin) return;
    {
        std::lock_guard<std::mutex> lock(impl_->pluginMutex);
        auto& list = impl_->plugins;
        if (std::find(list.begin(), list.end(), plugin) != list.end()) return;
        list.push_back(plugin);
        impl_->pluginGeneration.fetch_add(1);
    }
    plugin->peer_ = this;
    plugin->OnAttach();
}

void Peer::DetachPlugin(PluginInterface* plugin) {
    if (!plugin) return;
    {
        std::lock_guard<std::mutex> lock(impl_->pluginMutex);
        auto& list = impl_->plugins;
        auto it = std::find(list.begin(), list.end(), plugin);
        if (it == list.end()) return;
        list.erase(it);
        impl_->pluginGeneration.fetch_add(1);
    }
    plugin->OnDetach();
    plugin->peer_ = nullptr;
}

unsigned Peer::NumberOfConnections() const {
    std::lock_guard<std::mutex> lock(impl_->connMutex);
    return static_cast<unsigned>(impl_->byGuid.size());
}

SystemAddress Peer::GetSystemAddressFromGuid(Guid guid) const {
    std::lock_guard<std::mutex> lock(impl_->connMutex);
    auto it = impl_->byGuid.find(guid.g);
    return it != impl_->byGuid.end() ? it->second->address : UNASSIGNED_SYSTEM_ADDRESS;
}

Guid Peer::GetGuidFromSystemAddress(const SystemAddress& address) const {
    std::lock_guard<std::mutex> lock(impl_->connMutex);
    for (const Conn* c : impl_->conns)
        if (c->state == Conn::Established && c->address == address) return c->guid;
    return UNASSIGNED_GUID;
}

}  // namespace Net
