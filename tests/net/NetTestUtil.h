#pragma once
// Helpers of the network tests: peers on 127.0.0.1 with ephemeral ports,
// received packets copied out, waits with deadlines, and a raw ENet client
// that talks to a peer without the library.
#include <enet/enet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

    explicit RawClient(uint16_t port, size_t maximumPacketSize = 0) {
        host = enet_host_create(nullptr, 1, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
        if (!host) return;
        if (maximumPacketSize) {
            host->maximumPacketSize = maximumPacketSize;
            host->maximumWaitingData = 2 * maximumPacketSize;
        }
        ENetAddress a{};
        enet_address_set_host_ip(&a, "127.0.0.1");
        a.port = port;
        peer = enet_host_connect(host, &a, Net::NUMBER_OF_ORDERED_STREAMS, 0);
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

}  // namespace NetTest
