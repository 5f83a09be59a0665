#pragma once
// Helpers of the network tests: peers on 127.0.0.1 with ephemeral ports,
// received packets copied out, waits with deadlines, raw ENet clients that
// talk to a peer without the library, and a UDP relay that holds datagrams.
#include <arpa/inet.h>
#include <enet/enet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/LoopbackUdp.h"
#include "net/Peer.h"
#include "net/Types.h"

namespace NetTest {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

// Generous: these only bound a wait for something that normally takes a few
// milliseconds; a failing test reaches them, a passing one does not.
inline constexpr Ms kWait{3000};

struct PeerDeleter {
    void operator()(Net::Peer* p) const { Net::Peer::DestroyInstance(p); }
};
using PeerPtr = std::unique_ptr<Net::Peer, PeerDeleter>;

// A copy of a received packet.
struct Msg {
    std::vector<unsigned char> bytes;
    Net::Guid guid;
    Net::SystemAddress address;
    Net::BitSize bitSize = 0;
    unsigned char id() const { return bytes.empty() ? 0 : bytes[0]; }
};

inline PeerPtr StartPeer(unsigned maxConnections, unsigned maxIncoming) {
    PeerPtr p(Net::Peer::GetInstance());
    Net::SocketDescriptor sd(0, "127.0.0.1");
    EXPECT_EQ(p->Startup(maxConnections, &sd, 1), Net::STARTED);
    p->SetMaximumIncomingConnections(maxIncoming);
    return p;
}

// Collects what a peer receives.
struct Inbox {
    Net::Peer* peer;
    std::vector<Msg> got;

    explicit Inbox(Net::Peer* p) : peer(p) {}

    void Pump() {
        while (Net::Packet* p = peer->Receive()) {
            Msg m;
            m.bytes.assign(p->data, p->data + p->length);
            m.guid = p->guid;
            m.address = p->systemAddress;
            m.bitSize = p->bitSize;
            got.push_back(std::move(m));
            peer->DeallocatePacket(p);
        }
    }
    // Waits until a packet with this id has arrived (since `from`), returns it.
    const Msg* WaitId(unsigned char id, Ms wait = kWait, size_t from = 0) {
        const auto until = Clock::now() + wait;
        for (;;) {
            Pump();
            for (size_t i = from; i < got.size(); ++i)
                if (got[i].id() == id) return &got[i];
            if (Clock::now() >= until) return nullptr;
            std::this_thread::sleep_for(Ms(1));
        }
    }
    // Keeps receiving for a while (to show that nothing more arrives).
    void PumpFor(Ms wait) {
        const auto until = Clock::now() + wait;
        while (Clock::now() < until) {
            Pump();
            std::this_thread::sleep_for(Ms(1));
        }
        Pump();
    }
    size_t Count(unsigned char id) const {
        size_t n = 0;
        for (const Msg& m : got) n += m.id() == id;
        return n;
    }
    std::vector<unsigned char> Ids() const {
        std::vector<unsigned char> ids;
        for (const Msg& m : got) ids.push_back(m.id());
        return ids;
    }
};

inline bool WaitUntil(const std::function<bool()>& done, Ms wait = kWait) {
    const auto until = Clock::now() + wait;
    while (!done()) {
        if (Clock::now() >= until) return false;
        std::this_thread::sleep_for(Ms(1));
    }
    return true;
}

// A server and a client peer, connected, each with its inbox holding the
// connection event.
struct Pair {
    PeerPtr server;
    PeerPtr client;
    Inbox serverIn{nullptr};
    Inbox clientIn{nullptr};

    explicit Pair(unsigned maxIncoming = 4) {
        server = StartPeer(8, maxIncoming);
        client = StartPeer(2, 0);
        serverIn.peer = server.get();
        clientIn.peer = client.get();
        EXPECT_EQ(client->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0),
                  Net::CONNECTION_ATTEMPT_STARTED);
        EXPECT_NE(clientIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
        EXPECT_NE(serverIn.WaitId(Net::ID_NEW_INCOMING_CONNECTION), nullptr);
    }
};

// An ENet client without the library: it does the hello (or not) by hand.
struct RawClient {
    ENetHost* host = nullptr;
    ENetPeer* peer = nullptr;
    std::vector<std::vector<unsigned char>> received;
    bool disconnected = false;

    explicit RawClient(uint16_t port, size_t maximumPacketSize = 0,
                       size_t channels = Net::NUMBER_OF_ORDERED_STREAMS) {
        host = enet_host_create(nullptr, 1, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
        if (!host) return;
        if (maximumPacketSize) {
            host->maximumPacketSize = maximumPacketSize;
            host->maximumWaitingData = 2 * maximumPacketSize;
        }
        ENetAddress a{};
        enet_address_set_host_ip(&a, "127.0.0.1");
        a.port = port;
        peer = enet_host_connect(host, &a, channels, 0);
    }
    ~RawClient() {
        if (host) enet_host_destroy(host);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Services ENet until `done` holds or the time is up; true if it held.
    bool ServiceUntil(const std::function<bool()>& done, Ms wait = kWait) {
        const auto until = Clock::now() + wait;
        for (;;) {
            ENetEvent e;
            while (enet_host_service(host, &e, 1) > 0) {
                if (e.type == ENET_EVENT_TYPE_CONNECT) connected = true;
                if (e.type == ENET_EVENT_TYPE_DISCONNECT) disconnected = true;
                if (e.type == ENET_EVENT_TYPE_RECEIVE) {
                    received.emplace_back(e.packet->data, e.packet->data + e.packet->dataLength);
                    enet_packet_destroy(e.packet);
                }
            }
            if (done()) return true;
            if (Clock::now() >= until) return false;
        }
    }
    bool WaitConnected() {
        return ServiceUntil([this] { return connected; });
    }
    void Send(const std::vector<unsigned char>& bytes, uint8_t channel = 0, bool reliable = true) {
        ENetPacket* p = enet_packet_create(bytes.empty() ? nullptr : bytes.data(), bytes.size(),
                                           reliable ? ENET_PACKET_FLAG_RELIABLE : 0);
        if (enet_peer_send(peer, channel, p) < 0) enet_packet_destroy(p);
        enet_host_flush(host);
    }
    static std::vector<unsigned char> Hello(uint64_t guid) {
        std::vector<unsigned char> h{Net::ID_NET_HELLO};
        for (int i = 7; i >= 0; --i) h.push_back(static_cast<unsigned char>(guid >> (8 * i)));
        return h;
    }

    bool connected = false;
};

// One ENet host that keeps `count` connections to a peer open and never
// sends a hello on any of them; whenever the peer ends one, it opens another
// at once. It runs on a thread of its own until it is destroyed.
class HalfOpenFlood {
public:
    HalfOpenFlood(uint16_t port, size_t count) {
        host_ = enet_host_create(nullptr, count, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
        if (!host_) throw std::runtime_error("flood: no ENet host");
        enet_address_set_host_ip(&address_, "127.0.0.1");
        address_.port = port;
        for (size_t i = 0; i < count; ++i) enet_host_connect(host_, &address_, Net::NUMBER_OF_ORDERED_STREAMS, 0);
        thread_ = std::thread([this] { Run(); });
    }
    ~HalfOpenFlood() {
        stop_ = true;
        thread_.join();
        enet_host_destroy(host_);
    }
    HalfOpenFlood(const HalfOpenFlood&) = delete;
    HalfOpenFlood& operator=(const HalfOpenFlood&) = delete;

    size_t Connects() const { return connects_.load(); }  // ENet connections it has had
    size_t Ended() const { return ended_.load(); }        // and seen ended

private:
    void Run() {
        while (!stop_) {
            ENetEvent e;
            if (enet_host_service(host_, &e, 1) <= 0) continue;
            do {
                if (e.type == ENET_EVENT_TYPE_CONNECT) ++connects_;
                if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);  // the peer's hello
                if (e.type == ENET_EVENT_TYPE_DISCONNECT) {
                    ++ended_;
                    enet_host_connect(host_, &address_, Net::NUMBER_OF_ORDERED_STREAMS, 0);
                }
            } while (enet_host_check_events(host_, &e) > 0);
        }
    }

    ENetHost* host_ = nullptr;
    ENetAddress address_{};
    std::atomic<bool> stop_{false};
    std::atomic<size_t> connects_{0}, ended_{0};
    std::thread thread_;
};

// A UDP relay on 127.0.0.1 between one client and a peer. Each direction can
// be held: its datagrams are kept until Release, which sends them on one by
// one or, merged, as one datagram, so that ENet on the other side reads
// their commands in one go as if its sender had packed them together.
// Merging relies on ENet's plain datagram: a header of the 16-bit peer field
// (flags in its top bits) and, with the sent-time flag, a 16-bit time; no
// checksum and no compression, which the hosts here do not use.
class HoldingRelay {
public:
    enum Direction { ToPeer = 0, ToClient = 1 };

    explicit HoldingRelay(uint16_t peerPort) {
        front_ = TavTest::BindLoopbackUdp();
        back_ = TavTest::BindLoopbackUdp();
        sockaddr_in peer = TavTest::LoopbackAddress(peerPort);
        if (::connect(back_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0)
            throw std::runtime_error("relay: connect failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~HoldingRelay() {
        stop_ = true;
        thread_.join();
        ::close(front_);
        ::close(back_);
    }
    HoldingRelay(const HoldingRelay&) = delete;
    HoldingRelay& operator=(const HoldingRelay&) = delete;

    uint16_t Port() const {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ::getsockname(front_, reinterpret_cast<sockaddr*>(&a), &n);
        return ntohs(a.sin_port);
    }
    // Holds the direction once `pass` more datagrams have gone through.
    void Hold(Direction d, size_t pass = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_[d] = true;
        pass_[d] = pass;
    }
    size_t Held(Direction d) {
        std::lock_guard<std::mutex> lock(mutex_);
        return held_[d].size();
    }
    // Sends what was held and forwards from then on.
    void Release(Direction d, bool merge) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_[d] = false;
        pass_[d] = 0;
        if (merge && !held_[d].empty()) {
            // The header of the last datagram with a sent time (its reliable
            // commands are acknowledged with it), else of the first.
            auto headerSize = [](const std::vector<unsigned char>& g) {
                return g.size() >= 2 && (g[0] & 0x80) ? size_t{4} : size_t{2};
            };
            const std::vector<unsigned char>* header = &held_[d].front();
            for (const auto& g : held_[d])
                if (headerSize(g) == 4) header = &g;
            std::vector<unsigned char> merged(header->begin(), header->begin() + headerSize(*header));
            for (const auto& g : held_[d])
                if (g.size() > headerSize(g)) merged.insert(merged.end(), g.begin() + headerSize(g), g.end());
            held_[d].clear();
            held_[d].push_back(std::move(merged));
        }
        for (const auto& g : held_[d]) SendLocked(d, g.data(), g.size());
        held_[d].clear();
    }

private:
    void SendLocked(Direction d, const unsigned char* bytes, size_t n) {
        if (d == ToPeer) ::send(back_, bytes, n, 0);
        else if (haveClient_) ::sendto(front_, bytes, n, 0, reinterpret_cast<sockaddr*>(&client_), sizeof client_);
    }
    void Run() {
        unsigned char buffer[65536];
        while (!stop_) {
            pollfd fds[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
            if (::poll(fds, 2, 5) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (!(fds[i].revents & POLLIN)) continue;
                sockaddr_in from{};
                socklen_t n = sizeof from;
                const ssize_t got = ::recvfrom(fds[i].fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &n);
                if (got < 0) continue;
                std::lock_guard<std::mutex> lock(mutex_);
                const Direction d = i == 0 ? ToPeer : ToClient;
                if (d == ToPeer) {
                    client_ = from;
                    haveClient_ = true;
                }
                if (hold_[d] && pass_[d] == 0) {
                    held_[d].emplace_back(buffer, buffer + got);
                } else {
                    if (pass_[d] > 0) --pass_[d];
                    SendLocked(d, buffer, static_cast<size_t>(got));
                }
            }
        }
    }

    int front_ = -1, back_ = -1;
    std::mutex mutex_;
    bool hold_[2] = {false, false};
    size_t pass_[2] = {0, 0};
    std::vector<std::vector<unsigned char>> held_[2];
    sockaddr_in client_{};
    bool haveClient_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace NetTest
