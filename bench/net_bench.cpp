// Round-trip latency and message rate of 100-byte reliable messages over
// 127.0.0.1: Net's peer beside a plain ENet program doing the same work.
//
// Round trip: the client sends one message, the server echoes it, the client
// waits for the echo; the counter "median_us" is the median of all round
// trips of the run (p90_us and p99_us the tail). Rate: the client sends
// bursts of 1000 messages and waits until the server has counted them all;
// items_per_second is the rate. The plain ENet client waits either in the
// usual blocking enet_host_service (wait_ms:1) or by spinning on it
// (wait_ms:0); the plain ENet server always waits blocking.
//
// Targets: Net reaches at least 80% of plain ENet's rate and adds less than
// 50 us to the median round trip.
#include <benchmark/benchmark.h>
#include <enet/enet.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "net/Peer.h"
#include "net/Types.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kMessageBytes = 100;
constexpr int kBurst = 1000;
constexpr unsigned char kEcho = Net::ID_USER_PACKET_ENUM;
constexpr unsigned char kCount = Net::ID_USER_PACKET_ENUM + 1;

double Percentile(std::vector<double>& v, double q) {
    if (v.empty()) return 0;
    const size_t k = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(k), v.end());
    return v[k];
}

void ReportRoundTrips(benchmark::State& state, std::vector<double>& rtts) {
    state.counters["median_us"] = Percentile(rtts, 0.5);
    state.counters["p90_us"] = Percentile(rtts, 0.9);
    state.counters["p99_us"] = Percentile(rtts, 0.99);
}

// --- Net --------------------------------------------------------------------

struct NetSetup {
    Net::Peer* server = Net::Peer::GetInstance();
    Net::Peer* client = Net::Peer::GetInstance();
    std::atomic<bool> stop{false};
    std::atomic<long> counted{0};
    std::thread serverThread;
    Net::Guid serverGuid;

    NetSetup() {
        Net::SocketDescriptor sd(0, "127.0.0.1");
        server->Startup(4, &sd, 1);
        server->SetMaximumIncomingConnections(4);
        client->Startup(1, &sd, 1);
        serverThread = std::thread([this] {
            while (!stop.load(std::memory_order_relaxed)) {
                Net::Packet* p = server->Receive();
                if (!p) {
                    std::this_thread::yield();
                    continue;
                }
                if (p->data[0] == kEcho)
                    server->Send(reinterpret_cast<const char*>(p->data), static_cast<int>(p->length),
                                 Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, 1, p->guid, false);
                else if (p->data[0] == kCount)
                    counted.fetch_add(1, std::memory_order_relaxed);
                server->DeallocatePacket(p);
            }
        });
        client->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0);
        for (;;) {
            Net::Packet* p = client->Receive();
            if (p && p->data[0] == Net::ID_CONNECTION_REQUEST_ACCEPTED) {
                serverGuid = p->guid;
                client->DeallocatePacket(p);
                break;
            }
            if (p) client->DeallocatePacket(p);
        }
    }
    ~NetSetup() {
        stop = true;
        serverThread.join();
        Net::Peer::DestroyInstance(client);
        Net::Peer::DestroyInstance(server);
    }
};

void BM_Net_RoundTrip(benchmark::State& state) {
    NetSetup net;
    char msg[kMessageBytes] = {};
    msg[0] = static_cast<char>(kEcho);
    std::vector<double> rtts;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        net.client->Send(msg, sizeof msg, Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, 1, net.serverGuid, false);
        for (;;) {
            Net::Packet* p = net.client->Receive();
            if (!p) {
                std::this_thread::yield();
                continue;
            }
            const bool echo = p->data[0] == kEcho;
            net.client->DeallocatePacket(p);
            if (echo) break;
        }
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ReportRoundTrips(state, rtts);
}
BENCHMARK(BM_Net_RoundTrip)->UseRealTime()->MinTime(1.0);

void BM_Net_Rate(benchmark::State& state) {
    NetSetup net;
    char msg[kMessageBytes] = {};
    msg[0] = static_cast<char>(kCount);
    long target = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i)
            net.client->Send(msg, sizeof msg, Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, 1, net.serverGuid, false);
        target += kBurst;
        while (net.counted.load(std::memory_order_relaxed) < target) {
            if (Net::Packet* p = net.client->Receive()) net.client->DeallocatePacket(p);
            else std::this_thread::yield();
        }
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_Net_Rate)->UseRealTime()->MinTime(1.0);

// --- plain ENet ----------------------------------------------------------------

struct EnetSetup {
    ENetHost* server = nullptr;
    ENetHost* client = nullptr;
    ENetPeer* toServer = nullptr;
    std::atomic<bool> stop{false};
    std::atomic<long> counted{0};
    std::thread serverThread;

    EnetSetup() {
        ENetAddress a{};
        enet_address_set_host_ip(&a, "127.0.0.1");
        a.port = 0;
        server = enet_host_create(&a, 4, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
        ENetAddress bound{};
        enet_socket_get_address(server->socket, &bound);
        client = enet_host_create(nullptr, 1, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
        serverThread = std::thread([this] {
            ENetEvent e;
            while (!stop.load(std::memory_order_relaxed)) {
                if (enet_host_service(server, &e, 1) <= 0) continue;
                do {
                    if (e.type != ENET_EVENT_TYPE_RECEIVE) continue;
                    if (e.packet->data[0] == kEcho) {
                        ENetPacket* back = enet_packet_create(e.packet->data, e.packet->dataLength,
                                                              ENET_PACKET_FLAG_RELIABLE);
                        enet_peer_send(e.peer, 1, back);
                    } else if (e.packet->data[0] == kCount) {
                        counted.fetch_add(1, std::memory_order_relaxed);
                    }
                    enet_packet_destroy(e.packet);
                } while (enet_host_check_events(server, &e) > 0);
                enet_host_flush(server);
            }
        });
        bound.host = a.host;
        toServer = enet_host_connect(client, &bound, Net::NUMBER_OF_ORDERED_STREAMS, 0);
        ENetEvent e;
        while (enet_host_service(client, &e, 1) >= 0 && e.type != ENET_EVENT_TYPE_CONNECT) {
        }
    }
    ~EnetSetup() {
        enet_peer_disconnect_now(toServer, 0);
        stop = true;
        serverThread.join();
        enet_host_destroy(client);
        enet_host_destroy(server);
    }
};

void BM_Enet_RoundTrip(benchmark::State& state) {
    EnetSetup enet;
    unsigned char msg[kMessageBytes] = {};
    msg[0] = kEcho;
    std::vector<double> rtts;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        enet_peer_send(enet.toServer, 1, enet_packet_create(msg, sizeof msg, ENET_PACKET_FLAG_RELIABLE));
        enet_host_flush(enet.client);
        bool got = false;
        while (!got) {
            ENetEvent e;
            if (enet_host_service(enet.client, &e, 1) <= 0) continue;
            if (e.type == ENET_EVENT_TYPE_RECEIVE) {
                got = e.packet->data[0] == kEcho;
                enet_packet_destroy(e.packet);
            }
        }
        rtts.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    ReportRoundTrips(state, rtts);
}
BENCHMARK(BM_Enet_RoundTrip)->UseRealTime()->MinTime(1.0);

// wait_ms: the client's enet_host_service timeout while it waits, 1 (the
// usual blocking wait) or 0 (spinning).
void BM_Enet_Rate(benchmark::State& state) {
    const auto wait = static_cast<enet_uint32>(state.range(0));
    EnetSetup enet;
    unsigned char msg[kMessageBytes] = {};
    msg[0] = kCount;
    long target = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i)
            enet_peer_send(enet.toServer, 1, enet_packet_create(msg, sizeof msg, ENET_PACKET_FLAG_RELIABLE));
        target += kBurst;
        while (enet.counted.load(std::memory_order_relaxed) < target) {
            ENetEvent e;
            if (enet_host_service(enet.client, &e, wait) > 0 && e.type == ENET_EVENT_TYPE_RECEIVE)
                enet_packet_destroy(e.packet);
        }
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_Enet_Rate)->ArgName("wait_ms")->Arg(1)->Arg(0)->UseRealTime()->MinTime(1.0);

}  // namespace

int main(int argc, char** argv) {
    // The first peer initialises ENet (with the library's memory hooks); the
    // plain ENet side then shares that initialisation.
    {
        Net::Peer* p = Net::Peer::GetInstance();
        Net::SocketDescriptor sd(0, "127.0.0.1");
        p->Startup(1, &sd, 1);
        Net::Peer::DestroyInstance(p);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
