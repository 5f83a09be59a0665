// Load of many players on the real server: the tavserver binary runs as a
// child process in a prepared working folder (<tmp>/run/server, holding the
// port-37373 lock for as long as it runs), and N bot clients, plain ENet
// programs that follow docs/protocol.md, play on it from threads of this
// process. Each bot connects, exchanges hellos, asks for the 45 chunks around
// the spawn, and once its own player is constructed sends a player input at
// 30 Hz while walking in a circle, and places or removes a brick every few
// seconds. Client 0 is the probe: it plays like the others and also measures,
// one after the other and over and over, chunk request -> answer (a column of
// chunks nobody else asks for) and edit -> broadcast (a brick in a chunk
// nobody else edits), from the send to the arrival of the message.
//
// For each N (one fresh server each) the run reports, over the measuring
// window after a warm-up: the server's processor use (all its threads, in %
// of one core), its resident memory (now and peak), the probe's medians and
// 99th percentiles, the other players' updates a client receives per second
// (mean and the poorest client, also per other player in Hz; the tick is
// 33 ms and the bots send 30 inputs a second), how many of the updates that
// the server made for a client arrived (by their sequence numbers), and how
// many bots stayed connected throughout. With N at the server's maximum, a
// further client then connects and must be told "full" (20).
//
// With --hostile=H, H hostile hosts attack the server throughout the warm-up
// and the measuring window, each from a thread and sockets of its own:
// datagrams of random bytes that are no ENet protocol at all (most short,
// every 32nd near UDP's largest), and an ENet host that connects over and
// over, eight connections at a time: some never send the hello, the others
// send it and, once established, random game messages and one large reliable
// message of random bytes, and then leave. The honest bots' figures are
// measured as without them.
//
//   load_bench                       2, 32, 64 and 128 players, 120 s each
//   load_bench --duration=20         shorter, for development
//   load_bench --server=/path/to/tavserver --counts=2,128
//   load_bench --counts=2,128 --hostile=4    the same under attack
//   load_bench --help
#include <benchmark/benchmark.h>
#include <enet/enet.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "net/BitStream.h"
#include "net/Types.h"
#include "tests/e2e/ProcessHarness.h"
#include "world/ChunkMessage.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// --- options -----------------------------------------------------------------

struct Options {
    std::string server;
    std::vector<int> counts{2, 32, 64, 128};
    double duration = 120.0;   // measuring window per N, seconds
    double warmup = 5.0;       // after every bot has spawned
    double editEvery = 4.0;    // seconds between one bot's edits
    int probeEveryMs = 250;    // start of one probe cycle to the next
    int threads = 8;           // bot threads besides the probe's
    int maxPlayers = 128;      // the server's limit
    int hostile = 0;           // hostile hosts besides the bots
};

Options g_options;

const char* kUsage =
    "load_bench: N bot clients against the real tavserver (see the header of bench/load_bench.cpp)\n"
    "  --server=PATH       the tavserver binary (default: the one of this build)\n"
    "  --counts=2,32,...   player counts, one fresh server each (default 2,32,64,128)\n"
    "  --duration=S        measuring window per count in seconds (default 120)\n"
    "  --warmup=S          play before measuring, once all have spawned (default 5)\n"
    "  --edit-every=S      seconds between the edits of one bot (default 4)\n"
    "  --probe-every=MS    start of one probe cycle to the next (default 250)\n"
    "  --threads=T         bot threads besides the probe's (default 8)\n"
    "  --max-players=M     the server's connection limit (default 128)\n"
    "  --hostile=H         hostile hosts attacking meanwhile (default 0)\n"
    "Google Benchmark's own flags (--benchmark_format=json, ...) pass through.\n";

bool TakeOption(const std::string& arg, const char* name, std::string& value) {
    const std::string prefix = std::string("--") + name + "=";
    if (arg.compare(0, prefix.size(), prefix) != 0) return false;
    value = arg.substr(prefix.size());
    return true;
}

// --- protocol ------------------------------------------------------------------

constexpr uint16_t kPort = 37373;
constexpr size_t kChannels = 32;
constexpr uint8_t kHello = 1;
constexpr uint8_t kFull = 20;
constexpr uint8_t kConstruction = 50;
constexpr uint8_t kDestruction = 51;
constexpr uint8_t kSerialization = 52;
constexpr uint8_t kSerializationBatch = 53;
constexpr uint8_t kRequestChunks = 130;
constexpr uint8_t kPlayerSpawned = 131;
constexpr uint8_t kChunkData = 132;
constexpr uint8_t kPlaceBrick = 133;
constexpr uint8_t kRemoveBrick = 134;
constexpr uint8_t kPlayerInput = 136;
constexpr double kInputHz = 30.0;

struct Cell {
    int32_t x, y, z;
};

struct ChunkKey {
    int32_t cx, cy, cz;
};

int32_t ChunkOf(int32_t v) { return static_cast<int32_t>(std::floor((v + 8) / 16.0)); }

// The top occupied row of column (x, z) in the entries, or -1.
int32_t TopRow(const std::vector<Tav::ChunkDataEntry>& entries, int32_t x, int32_t z) {
    const int32_t cx = ChunkOf(x), cz = ChunkOf(z);
    const int32_t lx = x + 8 - 16 * cx, lz = z + 8 - 16 * cz;
    int32_t top = -1;
    for (const auto& e : entries) {
        if (e.cx != cx || e.cz != cz || e.cells.size() != 12288) continue;
        for (int32_t ly = 15; ly >= 0; --ly) {
            const size_t at = 3 * static_cast<size_t>((lx * 16 + ly) * 16 + lz);
            const unsigned type = (unsigned(e.cells[at]) << 8) | e.cells[at + 1];
            if (type != 0) {
                top = std::max(top, e.cy * 16 + ly);
                break;
            }
        }
    }
    return top;
}

// Whether the cell is occupied in the entries; -1 when its chunk is not there.
int CellOccupied(const std::vector<Tav::ChunkDataEntry>& entries, const Cell& c) {
    const int32_t cx = ChunkOf(c.x), cz = ChunkOf(c.z), cy = c.y / 16;
    for (const auto& e : entries) {
        if (e.cx != cx || e.cy != cy || e.cz != cz || e.cells.size() != 12288) continue;
        const int32_t lx = c.x + 8 - 16 * cx, ly = c.y - 16 * cy, lz = c.z + 8 - 16 * cz;
        const size_t at = 3 * static_cast<size_t>((lx * 16 + ly) * 16 + lz);
        return ((unsigned(e.cells[at]) << 8) | e.cells[at + 1]) != 0 ? 1 : 0;
    }
    return -1;
}

bool HasColumn(const std::vector<Tav::ChunkDataEntry>& entries, int32_t cx, int32_t cz) {
    return std::any_of(entries.begin(), entries.end(), [&](const auto& e) { return e.cx == cx && e.cz == cz; });
}

void SendStream(ENetPeer* peer, const Net::BitStream& s, uint8_t channel, bool reliable) {
    ENetPacket* p = enet_packet_create(s.GetData(), s.GetNumberOfBytesUsed(), reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
    if (p && enet_peer_send(peer, channel, p) != 0) enet_packet_destroy(p);
}

Net::BitStream ChunkRequest(const std::vector<ChunkKey>& keys) {
    Net::BitStream m;
    m.Write(kRequestChunks);
    m.Write(static_cast<int32_t>(keys.size()));
    for (const auto& k : keys) {
        m.Write(k.cx);
        m.Write(k.cy);
        m.Write(k.cz);
    }
    return m;
}

Net::BitStream Edit(bool place, const Cell& c) {
    Net::BitStream m;
    m.Write(place ? kPlaceBrick : kRemoveBrick);
    m.Write(c.x);
    m.Write(c.y);
    m.Write(c.z);
    if (place) {
        m.Write(uint8_t{0});  // brick type
        m.Write(uint8_t{0});  // rotation
        m.Write(uint8_t{3});  // colour
    }
    return m;
}

// The smallest sample that at least a fraction q of the samples do not exceed.
double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
    return v[std::min(v.size() - 1, rank > 0 ? rank - 1 : 0)];
}

// --- bots --------------------------------------------------------------------

struct SeenReplica {
    bool player = false;
    uint64_t guid = 0;
    bool any = false;        // an update arrived while measuring
    uint32_t firstSeq = 0;   // of the first one that did
    uint32_t lastMeasured = 0;  // of the last one that did
    uint32_t lastSeq = 0;    // newest applied
    uint64_t received = 0;   // while measuring
};

struct Shared {
    std::atomic<bool> measuring{false};
    std::atomic<bool> stop{false};
    std::atomic<int> spawned{0};
    std::atomic<int> lost{0};
    ENetAddress server{};
};

class Bot {
public:
    Bot(int index, bool probe, Shared& shared) : index_(index), probe_(probe), shared_(shared) {
        std::mt19937_64 rng(std::random_device{}() ^ (uint64_t(index) << 32));
        do guid_ = rng(); while (guid_ == ~uint64_t{0});
        angle_ = 0.37 * index;
        // An edit column of its own in the 3 x 3 spawn chunks (cells -24..23);
        // the probe's is in chunk column (2, 2), which no bot edits.
        if (probe_) {
            editColumn_ = Cell{30, 0, 30};
        } else {
            editColumn_ = Cell{-24 + (index * 7) % 48, 0, -24 + (index * 13 + index / 48) % 48};
        }
        phase_ = std::uniform_real_distribution<double>(0.0, g_options.editEvery)(rng);
    }
    ~Bot() {
        if (host_) enet_host_destroy(host_);
    }

    bool Start() {
        host_ = enet_host_create(nullptr, 1, kChannels, 0, 0);
        if (!host_) return false;
        peer_ = enet_host_connect(host_, &shared_.server, kChannels, 0);
        return peer_ != nullptr;
    }
    int Socket() const { return host_ ? host_->socket : -1; }

    // Services the host and does what is due; returns the next time something is due.
    Clock::time_point Step(Clock::time_point now) {
        ENetEvent event;
        while (host_ && enet_host_service(host_, &event, 0) > 0) Handle(event, Clock::now());
        if (state_ != State::Established) return now + 5ms;
        if (spawned_) {
            while (now >= nextInput_) {
                SendInput();
                nextInput_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / kInputHz));
            }
            if (probe_) ProbeStep(now);
            else if (now >= nextEdit_ && editRow_ >= 0) {
                SendStream(peer_, Edit(placeNext_, Cell{editColumn_.x, editRow_, editColumn_.z}), 0, true);
                placeNext_ = !placeNext_;
                nextEdit_ += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(g_options.editEvery));
            }
        }
        enet_host_flush(host_);
        Clock::time_point next = spawned_ ? std::min(nextInput_, probe_ ? probeDue_ : nextEdit_) : now + 5ms;
        return next;
    }

    void Leave() {
        if (peer_ && state_ == State::Established) {
            enet_peer_disconnect_now(peer_, 1);
            enet_host_flush(host_);
        }
    }

    // Results (read after the threads are joined).
    bool StayedConnected() const { return state_ == State::Established && !everLost_; }
    bool Spawned() const { return spawned_; }
    uint64_t Received() const {
        uint64_t n = 0;
        for (const auto& [id, r] : replicas_) n += r.player && r.guid != guid_ ? r.received : 0;
        return n;
    }
    uint64_t Produced() const {
        uint64_t n = 0;
        for (const auto& [id, r] : replicas_)
            if (r.player && r.guid != guid_ && r.any) n += uint64_t(r.lastMeasured - r.firstSeq) + 1;
        return n;
    }
    const std::vector<double>& ChunkLatencies() const { return chunkMs_; }
    const std::vector<double>& EditLatencies() const { return editMs_; }
    int ProbeTimeouts() const { return probeTimeouts_; }

private:
    enum class State { Connecting, Established, Full, Lost };
    enum class Probe { Idle, AwaitAnswer, AwaitBroadcast };

    void Handle(const ENetEvent& event, Clock::time_point now) {
        switch (event.type) {
            case ENET_EVENT_TYPE_CONNECT: {
                unsigned char hello[9];
                hello[0] = kHello;
                for (int i = 0; i < 8; ++i) hello[1 + i] = static_cast<unsigned char>(guid_ >> (56 - 8 * i));
                ENetPacket* p = enet_packet_create(hello, sizeof hello, ENET_PACKET_FLAG_RELIABLE);
                if (p && enet_peer_send(peer_, 0, p) != 0) enet_packet_destroy(p);
                break;
            }
            case ENET_EVENT_TYPE_DISCONNECT:
                if (state_ == State::Established) {
                    everLost_ = true;
                    shared_.lost.fetch_add(1);
                }
                if (state_ != State::Full) state_ = State::Lost;
                peer_ = nullptr;
                break;
            case ENET_EVENT_TYPE_RECEIVE:
                OnMessage(event.packet->data, event.packet->dataLength, now);
                enet_packet_destroy(event.packet);
                break;
            default:
                break;
        }
    }

    void OnMessage(const unsigned char* data, size_t length, Clock::time_point now) {
        if (length == 0) return;
        switch (data[0]) {
            case kHello:
                if (length == 9 && state_ == State::Connecting) {
                    state_ = State::Established;
                    std::vector<ChunkKey> keys;
                    for (int32_t cx = -1; cx <= 1; ++cx)
                        for (int32_t cz = -1; cz <= 1; ++cz)
                            for (int32_t cy = 0; cy <= 4; ++cy) keys.push_back({cx, cy, cz});
                    if (probe_)
                        for (int32_t cy = 0; cy <= 4; ++cy) keys.push_back({2, cy, 2});
                    SendStream(peer_, ChunkRequest(keys), 0, true);
                }
                break;
            case kFull:
                state_ = State::Full;
                break;
            case kConstruction: OnConstruction(data, length); break;
            case kDestruction: {
                Net::BitStream in(data, length, false);
                in.IgnoreBits(8);
                uint64_t id = 0;
                if (in.Read(id)) replicas_.erase(id);
                break;
            }
            case kSerialization: {
                Net::BitStream in(data, length, false);
                in.IgnoreBits(8);
                OnEntry(in);
                break;
            }
            case kSerializationBatch: {
                Net::BitStream in(data, length, false);
                in.IgnoreBits(8);
                uint16_t count = 0;
                if (!in.Read(count)) break;
                for (uint16_t i = 0; i < count; ++i) {
                    if (!OnEntry(in)) break;
                    const Net::BitSize pad = (8 - (in.GetReadOffset() & 7)) & 7;  // entries start on a byte
                    if (pad && !in.IgnoreBits(pad)) break;
                }
                break;
            }
            case kChunkData: OnChunkData(data, length, now); break;
            case kPlayerSpawned: break;
            default: break;
        }
    }

    void OnConstruction(const unsigned char* data, size_t length) {
        Net::BitStream in(data, length, false);
        in.IgnoreBits(8);
        uint64_t id = 0;
        uint32_t allocationBits = 0, constructionBits = 0;
        if (!in.Read(id) || !in.Read(allocationBits)) return;
        const Net::BitSize at = in.GetReadOffset();
        Net::String type;
        if (!type.Deserialize(&in)) return;
        in.SetReadOffset(at + allocationBits);
        if (!in.Read(constructionBits)) return;
        Net::String marker;
        uint64_t owner = 0;
        if (!marker.Deserialize(&in) || !in.Read(owner)) return;
        SeenReplica& r = replicas_[id];
        r.player = type.Str() == "Player";
        r.guid = owner;
        if (r.player && owner == guid_ && !spawned_) {
            spawned_ = true;
            shared_.spawned.fetch_add(1);
            const Clock::time_point now = Clock::now();
            nextInput_ = now;
            nextEdit_ = now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(phase_));
            probeDue_ = now;
        }
    }

    // One serialisation entry: network id, sequence, channel mask, the
    // channels' sub-streams. False when the stream does not hold it whole.
    bool OnEntry(Net::BitStream& in) {
        uint64_t id = 0;
        uint32_t sequence = 0;
        uint8_t mask = 0;
        if (!in.Read(id) || !in.Read(sequence) || !in.Read(mask)) return false;
        for (int ch = 0; ch < 8; ++ch) {
            if (!(mask & (1u << ch))) continue;
            uint32_t bits = 0;
            if (!in.Read(bits) || !in.IgnoreBits(bits)) return false;
        }
        auto found = replicas_.find(id);
        if (found == replicas_.end()) return true;
        SeenReplica& r = found->second;
        if (r.lastSeq != 0 && static_cast<int32_t>(sequence - r.lastSeq) <= 0) return true;  // stale

        r.lastSeq = sequence;
        if (shared_.measuring.load(std::memory_order_relaxed)) {
            if (!r.any) {
                r.any = true;
                r.firstSeq = sequence;
            }
            r.lastMeasured = sequence;
            ++r.received;
        }
        return true;
    }

    void OnChunkData(const unsigned char* data, size_t length, Clock::time_point now) {
        const bool wanted = editRow_ < 0 || (probe_ && probeState_ != Probe::Idle);
        if (!wanted) return;
        std::vector<Tav::ChunkDataEntry> entries;
        if (!Tav::ReadChunkDataMessage(data, length, entries)) return;
        if (editRow_ < 0) {
            const int32_t top = TopRow(entries, editColumn_.x, editColumn_.z);
            if (top >= 0 && HasColumn(entries, ChunkOf(editColumn_.x), ChunkOf(editColumn_.z))) {
                editRow_ = std::min(top + 1, 79);
                placeNext_ = true;
            }
        }
        if (!probe_) return;
        const double ms = std::chrono::duration<double, std::milli>(now - probeSent_).count();
        if (probeState_ == Probe::AwaitAnswer && HasColumn(entries, 4, 4)) {
            if (shared_.measuring.load()) chunkMs_.push_back(ms);
            SendProbeEdit(Clock::now());
        } else if (probeState_ == Probe::AwaitBroadcast && HasColumn(entries, ChunkOf(editColumn_.x), ChunkOf(editColumn_.z))) {
            if (shared_.measuring.load()) editMs_.push_back(ms);
            const int occupied = CellOccupied(entries, Cell{editColumn_.x, editRow_, editColumn_.z});
            if (occupied >= 0) placeNext_ = occupied == 0;
            probeState_ = Probe::Idle;
        }
    }

    void SendInput() {
        Net::BitStream m;
        m.Write(kPlayerInput);
        inputTime_ += 1.0 / kInputHz;
        angle_ += 2.5 / kInputHz;  // a circle of about 10 units at walking speed
        m.Write(inputTime_);
        m.Write(1.0);  // move: forward
        m.Write(0.0);
        m.Write(0.0);
        m.Write(std::cos(angle_));  // facing
        m.Write(0.0);
        m.Write(std::sin(angle_));
        m.WriteBit(false);  // jump
        m.WriteBit(false);  // run
        for (int i = 0; i < 4; ++i) m.WriteBit(false);
        SendStream(peer_, m, 2, false);
    }

    void ProbeStep(Clock::time_point now) {
        if (probeState_ != Probe::Idle) {
            if (now - probeSent_ > 5s) {  // lost or very late: counted, and the cycle starts again
                if (shared_.measuring.load()) ++probeTimeouts_;
                probeState_ = Probe::Idle;
                probeDue_ = now;
            }
            return;
        }
        if (now < probeDue_ || editRow_ < 0) return;
        probeDue_ += std::chrono::milliseconds(g_options.probeEveryMs);
        if (probeDue_ < now) probeDue_ = now;
        std::vector<ChunkKey> keys;
        for (int32_t cy = 0; cy <= 4; ++cy) keys.push_back({4, cy, 4});
        probeState_ = Probe::AwaitAnswer;
        probeSent_ = Clock::now();
        SendStream(peer_, ChunkRequest(keys), 0, true);
    }

    void SendProbeEdit(Clock::time_point now) {
        probeState_ = Probe::AwaitBroadcast;
        probeSent_ = now;
        SendStream(peer_, Edit(placeNext_, Cell{editColumn_.x, editRow_, editColumn_.z}), 0, true);
        enet_host_flush(host_);
    }

    int index_;
    bool probe_;
    Shared& shared_;
    ENetHost* host_ = nullptr;
    ENetPeer* peer_ = nullptr;
    uint64_t guid_ = 0;
    State state_ = State::Connecting;
    bool everLost_ = false;
    bool spawned_ = false;
    std::unordered_map<uint64_t, SeenReplica> replicas_;
    double angle_ = 0.0;
    double inputTime_ = 0.0;
    double phase_ = 0.0;
    Clock::time_point nextInput_{}, nextEdit_{};
    Cell editColumn_{};
    int32_t editRow_ = -1;  // the cell above the ground of the edit column, once known
    bool placeNext_ = true;
    Probe probeState_ = Probe::Idle;
    Clock::time_point probeDue_{}, probeSent_{};
    std::vector<double> chunkMs_, editMs_;
    int probeTimeouts_ = 0;
};

// Services its bots until told to stop, sleeping in poll() on their sockets
// until the next thing is due.
void RunBots(std::vector<Bot*> bots, Shared& shared, std::chrono::milliseconds stagger) {
    std::vector<Bot*> started;
    Clock::time_point nextStart = Clock::now();
    size_t toStart = 0;
    std::vector<pollfd> fds;
    while (!shared.stop.load()) {
        Clock::time_point now = Clock::now();
        while (toStart < bots.size() && now >= nextStart) {
            if (bots[toStart]->Start()) started.push_back(bots[toStart]);
            ++toStart;
            nextStart += stagger;
        }
        Clock::time_point due = now + 5ms;
        if (toStart < bots.size()) due = std::min(due, nextStart);
        for (Bot* b : started) due = std::min(due, b->Step(now));
        fds.clear();
        for (Bot* b : started) fds.push_back({b->Socket(), POLLIN, 0});
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count();
        if (wait > 0) ::poll(fds.data(), fds.size(), static_cast<int>(std::min<long>(wait, 5)));
    }
    for (Bot* b : started) b->Leave();
}

// --- hostile hosts -------------------------------------------------------------

struct HostileCounts {
    std::atomic<uint64_t> datagrams{0};    // raw datagrams of random bytes
    std::atomic<uint64_t> connects{0};     // ENet connections asked for
    std::atomic<uint64_t> established{0};  // that got the server's hello
    std::atomic<uint64_t> full{0};         // that were told "full"
    std::atomic<uint64_t> messages{0};     // random game messages sent on established ones
};

void RunHostile(int index, Shared& shared, HostileCounts& counts) {
    std::mt19937_64 rng(std::random_device{}() ^ (uint64_t(index) << 40));
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(kPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    constexpr size_t kConnections = 8;
    ENetHost* host = enet_host_create(nullptr, kConnections, kChannels, 0, 0);
    std::vector<unsigned char> bytes(1 << 20);
    // Random bytes once; each message then takes a random stretch of them
    // (the attack must not take the processor from the bots of this process).
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    auto randomize = [&](size_t n) {
        const size_t at = n < bytes.size() ? rng() % (bytes.size() - n + 1) : 0;
        if (at) std::memmove(bytes.data(), bytes.data() + at, n);
        for (size_t i = 0; i < n && i < 8; ++i) bytes[i] = static_cast<unsigned char>(rng());
    };
    struct Attempt {
        bool hello;  // sends the hello and, once established, garbage
        Clock::time_point since;
    };
    std::unordered_map<ENetPeer*, Attempt> attempts;
    uint64_t sent = 0;
    Clock::time_point nextDatagram = Clock::now();
    while (!shared.stop.load()) {
        const Clock::time_point now = Clock::now();
        // About 2000 datagrams a second.
        for (int burst = 0; now >= nextDatagram && burst < 64 && fd >= 0; ++burst) {
            const size_t length = (sent++ % 32 == 0) ? 65000 : 1 + rng() % 1400;
            randomize(length);
            ::sendto(fd, bytes.data(), length, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            counts.datagrams.fetch_add(1, std::memory_order_relaxed);
            nextDatagram += 500us;
        }
        if (now - nextDatagram > 1s) nextDatagram = now;
        if (host) {
            for (auto it = attempts.begin(); it != attempts.end();) {  // a connection lives at most 3 s
                if (now - it->second.since > 3s) {
                    enet_peer_reset(it->first);
                    it = attempts.erase(it);
                } else {
                    ++it;
                }
            }
            while (attempts.size() < kConnections) {
                ENetPeer* peer = enet_host_connect(host, &shared.server, kChannels, 0);
                if (!peer) break;
                attempts[peer] = Attempt{rng() % 4 != 0, now};
                counts.connects.fetch_add(1, std::memory_order_relaxed);
            }
            ENetEvent event;
            while (enet_host_service(host, &event, 0) > 0) {
                auto found = attempts.find(event.peer);
                if (event.type == ENET_EVENT_TYPE_CONNECT && found != attempts.end() && found->second.hello) {
                    unsigned char hello[9];
                    hello[0] = kHello;
                    const uint64_t guid = rng() | 1;
                    for (int i = 0; i < 8; ++i) hello[1 + i] = static_cast<unsigned char>(guid >> (56 - 8 * i));
                    ENetPacket* p = enet_packet_create(hello, sizeof hello, ENET_PACKET_FLAG_RELIABLE);
                    if (p && enet_peer_send(event.peer, 0, p) != 0) enet_packet_destroy(p);
                } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                    const unsigned char first = event.packet->dataLength ? event.packet->data[0] : 0;
                    if (first == kFull) counts.full.fetch_add(1, std::memory_order_relaxed);
                    if (first == kHello && event.packet->dataLength == 9) {
                        counts.established.fetch_add(1, std::memory_order_relaxed);
                        for (int i = 0; i < 20; ++i) {  // random game messages
                            const size_t length = 1 + rng() % 200;
                            randomize(length);
                            bytes[0] = static_cast<unsigned char>(130 + rng() % 126);
                            ENetPacket* p = enet_packet_create(bytes.data(), length, rng() % 2 ? ENET_PACKET_FLAG_RELIABLE : 0);
                            if (p && enet_peer_send(event.peer, static_cast<uint8_t>(rng() % kChannels), p) != 0) enet_packet_destroy(p);
                        }
                        randomize(bytes.size());  // one large one
                        bytes[0] = static_cast<unsigned char>(130 + rng() % 126);
                        ENetPacket* p = enet_packet_create(bytes.data(), bytes.size(), ENET_PACKET_FLAG_RELIABLE);
                        if (p && enet_peer_send(event.peer, 0, p) != 0) enet_packet_destroy(p);
                        counts.messages.fetch_add(21, std::memory_order_relaxed);
                        enet_peer_disconnect_later(event.peer, 1);
                    }
                    enet_packet_destroy(event.packet);
                } else if (event.type == ENET_EVENT_TYPE_DISCONNECT && found != attempts.end()) {
                    attempts.erase(found);
                }
            }
            enet_host_flush(host);
        }
        std::this_thread::sleep_for(1ms);
    }
    if (host) enet_host_destroy(host);
    if (fd >= 0) ::close(fd);
}

// --- the server process ------------------------------------------------------

struct ProcStats {
    double cpuSeconds = 0;
    double rssMiB = 0;
    double peakMiB = 0;
};

ProcStats ReadProc(pid_t pid) {
    ProcStats s;
    {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close != std::string::npos) {
            std::istringstream rest(text.substr(close + 1));
            std::vector<std::string> f;
            for (std::string x; rest >> x;) f.push_back(x);
            if (f.size() > 12) s.cpuSeconds = double(std::stol(f[11]) + std::stol(f[12])) / double(::sysconf(_SC_CLK_TCK));
        }
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssMiB = std::stod(line.substr(6)) / 1024.0;
        if (line.rfind("VmHWM:", 0) == 0) s.peakMiB = std::stod(line.substr(6)) / 1024.0;
    }
    return s;
}

std::string LoadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// A further client: true when the server tells it "full".
bool ToldFull(const ENetAddress& server) {
    ENetHost* host = enet_host_create(nullptr, 1, kChannels, 0, 0);
    if (!host) return false;
    ENetPeer* peer = enet_host_connect(host, &server, kChannels, 0);
    bool full = false;
    const Clock::time_point end = Clock::now() + 10s;
    while (peer && !full && Clock::now() < end) {
        ENetEvent event;
        if (enet_host_service(host, &event, 10) <= 0) continue;
        if (event.type == ENET_EVENT_TYPE_RECEIVE) {
            full = event.packet->dataLength == 1 && event.packet->data[0] == kFull;
            enet_packet_destroy(event.packet);
        } else if (event.type == ENET_EVENT_TYPE_DISCONNECT) {
            break;
        }
    }
    enet_host_destroy(host);
    return full;
}

struct Result {
    int players = 0;
    double window = 0;
    double cpuPercent = 0;
    double rssMiB = 0, peakMiB = 0;
    double chunkMedian = NAN, chunkP99 = NAN, editMedian = NAN, editP99 = NAN;
    size_t chunkSamples = 0, editSamples = 0;
    int probeTimeouts = 0;
    double updatesMean = 0, updatesMin = 0;  // per client per second
    double deliveredPercent = 0;
    double producedHz = 0;  // updates the server made per other player per second, for the mean client
    int spawned = 0, connected = 0;
    int full = -1;  // -1: not tried
    std::string load;
    uint64_t hostileDatagrams = 0, hostileConnects = 0, hostileEstablished = 0, hostileFull = 0, hostileMessages = 0;
};

std::vector<Result> g_results;

Result RunPhase(int players) {
    Result result;
    result.players = players;
    TavTest::WorkFolder folder;
    TavTest::ServerProcess server(folder);
    if (!server.WaitUntilListening()) {
        std::fprintf(stderr, "the server did not start:\n%s\n", server.Transcript().c_str());
        return result;
    }
    Shared shared;
    enet_address_set_host(&shared.server, "127.0.0.1");
    shared.server.port = kPort;

    std::vector<std::unique_ptr<Bot>> bots;
    for (int i = 0; i < players; ++i) bots.push_back(std::make_unique<Bot>(i, i == 0, shared));
    const int threads = std::max(1, std::min(g_options.threads, players - 1));
    std::vector<std::vector<Bot*>> groups(static_cast<size_t>(threads) + 1);
    groups[0].push_back(bots[0].get());  // the probe has a thread of its own
    for (int i = 1; i < players; ++i) groups[1 + (i - 1) % threads].push_back(bots[static_cast<size_t>(i)].get());
    std::vector<std::thread> running;
    for (auto& g : groups)
        if (!g.empty()) running.emplace_back(RunBots, g, std::ref(shared), std::chrono::milliseconds(5 * threads));

    // Everyone in, then the warm-up (the attack starts with it), then the measuring window.
    const Clock::time_point rampEnd = Clock::now() + 60s;
    while (shared.spawned.load() < players && Clock::now() < rampEnd) std::this_thread::sleep_for(50ms);
    result.spawned = shared.spawned.load();
    HostileCounts hostile;
    for (int i = 0; i < g_options.hostile; ++i) running.emplace_back(RunHostile, i, std::ref(shared), std::ref(hostile));
    std::this_thread::sleep_for(std::chrono::duration<double>(g_options.warmup));
    result.load = LoadAverage();
    const ProcStats before = ReadProc(server.Pid());
    const Clock::time_point start = Clock::now();
    shared.measuring = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(g_options.duration));
    shared.measuring = false;
    const Clock::time_point end = Clock::now();
    const ProcStats after = ReadProc(server.Pid());
    result.window = std::chrono::duration<double>(end - start).count();
    result.cpuPercent = 100.0 * (after.cpuSeconds - before.cpuSeconds) / result.window;
    result.rssMiB = after.rssMiB;
    result.peakMiB = after.peakMiB;
    if (players >= g_options.maxPlayers) result.full = ToldFull(shared.server) ? 1 : 0;

    shared.stop = true;
    for (auto& t : running) t.join();
    result.hostileDatagrams = hostile.datagrams.load();
    result.hostileConnects = hostile.connects.load();
    result.hostileEstablished = hostile.established.load();
    result.hostileFull = hostile.full.load();
    result.hostileMessages = hostile.messages.load();
    if (shared.lost.load() > 0) {  // what the server printed, to see why
        const std::string path = "/tmp/load_bench_server_" + std::to_string(players) + ".txt";
        std::ofstream(path) << server.Transcript();
        std::fprintf(stderr, "%d bots lost their connection; the server's output is in %s\n", shared.lost.load(),
                     path.c_str());
    }

    const Bot& probe = *bots[0];
    result.chunkMedian = Percentile(probe.ChunkLatencies(), 0.5);
    result.chunkP99 = Percentile(probe.ChunkLatencies(), 0.99);
    result.editMedian = Percentile(probe.EditLatencies(), 0.5);
    result.editP99 = Percentile(probe.EditLatencies(), 0.99);
    result.chunkSamples = probe.ChunkLatencies().size();
    result.editSamples = probe.EditLatencies().size();
    result.probeTimeouts = probe.ProbeTimeouts();
    uint64_t received = 0, produced = 0;
    double minRate = INFINITY;
    for (const auto& b : bots) {
        received += b->Received();
        produced += b->Produced();
        minRate = std::min(minRate, double(b->Received()) / result.window);
        result.connected += b->StayedConnected();
    }
    result.updatesMean = double(received) / double(players) / result.window;
    result.updatesMin = minRate;
    result.deliveredPercent = produced ? 100.0 * double(received) / double(produced) : 0.0;
    if (players > 1) result.producedHz = double(produced) / double(players) / double(players - 1) / result.window;

    server.WriteLine("exit");
    const std::optional<int> code = server.WaitExit(30s);
    if (!code) server.Signal(SIGKILL);
    // A sanitizer build's report, or any other bad end, is kept where the
    // bots' losses are: a run against such a build shows it here.
    const std::string transcript = server.Transcript();
    if (code != 0 || transcript.find("Sanitizer") != std::string::npos ||
        transcript.find("runtime error:") != std::string::npos) {
        const std::string path = "/tmp/load_bench_server_end_" + std::to_string(players) + ".txt";
        std::ofstream(path) << transcript;
        std::fprintf(stderr, "the server ended badly (%s); its output is in %s\n",
                     code ? ("exit code " + std::to_string(*code)).c_str() : "no exit within 30 s", path.c_str());
    }
    return result;
}

void BM_Load(benchmark::State& state) {
    const int players = static_cast<int>(state.range(0));
    for (auto _ : state) {
        Result r = RunPhase(players);
        state.SetIterationTime(r.window);
        state.counters["cpu_pct"] = r.cpuPercent;
        state.counters["rss_MiB"] = r.rssMiB;
        state.counters["chunk_med_ms"] = r.chunkMedian;
        state.counters["chunk_p99_ms"] = r.chunkP99;
        state.counters["edit_med_ms"] = r.editMedian;
        state.counters["edit_p99_ms"] = r.editP99;
        state.counters["updates_per_s"] = r.updatesMean;
        state.counters["delivered_pct"] = r.deliveredPercent;
        state.counters["connected"] = r.connected;
        if (r.full >= 0) state.counters["full"] = r.full;
        g_results.push_back(r);
    }
}

void PrintSummary() {
    std::printf("\nplayers | server CPU | RSS (peak) MiB | chunk req->answer med/p99 ms (n) | edit->broadcast med/p99 ms (n) |"
                " updates/client/s mean (min) | per other player Hz received (made) | delivered | spawned/connected | full | load\n");
    for (const Result& r : g_results) {
        const double perOther = r.players > 1 ? r.updatesMean / (r.players - 1) : 0.0;
        std::printf("%7d | %8.0f %% | %6.1f (%6.1f) | %6.1f / %6.1f (%zu%s) | %6.2f / %6.2f (%zu) | %8.0f (%6.0f) | %5.1f (%5.1f) | %5.1f %% |"
                    " %d/%d | %s | %s\n",
                    r.players, r.cpuPercent, r.rssMiB, r.peakMiB, r.chunkMedian, r.chunkP99, r.chunkSamples,
                    r.probeTimeouts ? (", " + std::to_string(r.probeTimeouts) + " timed out").c_str() : "",
                    r.editMedian, r.editP99, r.editSamples, r.updatesMean, r.updatesMin, perOther, r.producedHz,
                    r.deliveredPercent, r.spawned, r.connected, r.full < 0 ? "-" : (r.full ? "yes" : "NO"),
                    r.load.c_str());
    }
    for (const Result& r : g_results)
        if (r.hostileDatagrams || r.hostileConnects)
            std::printf("hostile at %d players: %llu random datagrams, %llu connections asked for (%llu established,"
                        " %llu told full), %llu random game messages\n",
                        r.players, static_cast<unsigned long long>(r.hostileDatagrams),
                        static_cast<unsigned long long>(r.hostileConnects),
                        static_cast<unsigned long long>(r.hostileEstablished),
                        static_cast<unsigned long long>(r.hostileFull),
                        static_cast<unsigned long long>(r.hostileMessages));
    // The targets at the largest count, against the smallest of the same run.
    if (g_results.size() >= 2) {
        const Result& lo = g_results.front();
        const Result& hi = g_results.back();
        // Each client must get at least 90 % of the updates made for it, and
        // the tick must make them as often as with two players (the bots'
        // 30 Hz input against the 33 ms tick makes a little under 30 Hz).
        const double perOther = hi.players > 1 ? hi.updatesMin / (hi.players - 1) : 0.0;
        const double loPerOther = lo.players > 1 ? lo.updatesMin / (lo.players - 1) : 0.0;
        const bool connected = hi.connected == hi.players;
        const bool chunk = hi.chunkP99 <= 3 * lo.chunkP99;
        const bool edit = hi.editP99 <= 3 * lo.editP99;
        const bool updates = hi.deliveredPercent >= 90.0 && perOther >= 0.9 * loPerOther;
        std::printf("\ntargets at %d players: all connected %s; full %s; chunk p99 %.1f <= 3 x %.1f %s; edit p99 %.2f <= 3 x %.2f %s;"
                    " delivered %.1f %% >= 90 %% and poorest client %.1f Hz per other player >= 0.9 x %.1f %s\n",
                    hi.players, connected ? "yes" : "NO", hi.full < 0 ? "not tried" : (hi.full ? "yes" : "NO"),
                    hi.chunkP99, lo.chunkP99, chunk ? "yes" : "NO", hi.editP99, lo.editP99, edit ? "yes" : "NO",
                    hi.deliveredPercent, perOther, loPerOther, updates ? "yes" : "NO");
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string v;
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (TakeOption(arg, "server", v)) {
            g_options.server = v;
        } else if (TakeOption(arg, "counts", v)) {
            g_options.counts.clear();
            std::stringstream s(v);
            for (std::string item; std::getline(s, item, ',');) g_options.counts.push_back(std::stoi(item));
        } else if (TakeOption(arg, "duration", v)) {
            g_options.duration = std::stod(v);
        } else if (TakeOption(arg, "warmup", v)) {
            g_options.warmup = std::stod(v);
        } else if (TakeOption(arg, "edit-every", v)) {
            g_options.editEvery = std::stod(v);
        } else if (TakeOption(arg, "probe-every", v)) {
            g_options.probeEveryMs = std::stoi(v);
        } else if (TakeOption(arg, "threads", v)) {
            g_options.threads = std::stoi(v);
        } else if (TakeOption(arg, "max-players", v)) {
            g_options.maxPlayers = std::stoi(v);
        } else if (TakeOption(arg, "hostile", v)) {
            g_options.hostile = std::stoi(v);
        } else {
            rest.push_back(argv[i]);
        }
    }
#ifdef TAV_SERVER_BINARY
    if (g_options.server.empty()) g_options.server = TAV_SERVER_BINARY;
#endif
    if (g_options.server.empty()) {
        std::fputs("no server binary: give --server=PATH\n", stderr);
        return 2;
    }
    ::setenv("TAV_BINARY", g_options.server.c_str(), 1);
    if (enet_initialize() != 0) return 1;
    std::printf("server %s; window %.0f s per count after %.0f s of warm-up; edits every %.1f s per bot; probe every %d ms;"
                " %d hostile hosts\n",
                g_options.server.c_str(), g_options.duration, g_options.warmup, g_options.editEvery,
                g_options.probeEveryMs, g_options.hostile);
    for (int n : g_options.counts)
        benchmark::RegisterBenchmark("load/players", BM_Load)->Arg(n)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
    int count = static_cast<int>(rest.size());
    benchmark::Initialize(&count, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintSummary();
    enet_deinitialize();
    return 0;
}
