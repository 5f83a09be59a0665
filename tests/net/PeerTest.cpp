#include "net/Peer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "net/BitStream.h"
#include "net/PluginInterface.h"
#include "NetTestUtil.h"

using namespace NetTest;
using Net::AddressOrGuid;
using Net::BitStream;
using Net::Guid;
using Net::SystemAddress;

namespace {


SystemAddress At(uint16_t port) { return SystemAddress(0x7F000001u, port); }

std::vector<unsigned char> Pattern(size_t n, unsigned char id) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 131 + (i >> 12));
    v[0] = id;
    return v;
}

uint32_t SendBytes(Net::Peer* from, const std::vector<unsigned char>& bytes, Net::PacketReliability r,
                   char channel, const AddressOrGuid& to, bool broadcast = false) {
    return from->Send(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()),
                      Net::HIGH_PRIORITY, r, channel, to, broadcast);
}

}  // namespace

TEST(Peer, StartupChecksItsArguments) {
    PeerPtr p(Net::Peer::GetInstance());
    Net::SocketDescriptor sd(0, "127.0.0.1");
    EXPECT_EQ(p->Startup(0, &sd, 1), Net::INVALID_MAX_CONNECTIONS);
    EXPECT_EQ(p->Startup(4, nullptr, 0), Net::INVALID_SOCKET_DESCRIPTORS);
    Net::SocketDescriptor bad(0, "not an address");
    EXPECT_EQ(p->Startup(4, &bad, 1), Net::INVALID_SOCKET_DESCRIPTORS);
    EXPECT_FALSE(p->IsActive());
    EXPECT_EQ(p->GetBoundPort(), 0);

    ASSERT_EQ(p->Startup(4, &sd, 1), Net::STARTED);
    EXPECT_TRUE(p->IsActive());
    EXPECT_NE(p->GetBoundPort(), 0);
    EXPECT_EQ(p->Startup(4, &sd, 1), Net::ALREADY_STARTED);

    PeerPtr q(Net::Peer::GetInstance());
    Net::SocketDescriptor taken(p->GetBoundPort(), "127.0.0.1");
    EXPECT_EQ(q->Startup(4, &taken, 1), Net::SOCKET_FAILED_TO_BIND);

    // GUIDs are random, assigned, and kept over a restart.
    const Guid g = p->GetMyGUID();
    EXPECT_FALSE(g.IsUnassigned());
    EXPECT_NE(g, q->GetMyGUID());
    p->Shutdown();
    EXPECT_FALSE(p->IsActive());
    EXPECT_EQ(p->Startup(4, &sd, 1), Net::STARTED);
    EXPECT_EQ(p->GetMyGUID(), g);
}

TEST(Peer, ConnectExchangesGuidsAndAddresses) {
    Pair pair;
    const Msg* accepted = pair.clientIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED);
    const Msg* incoming = pair.serverIn.WaitId(Net::ID_NEW_INCOMING_CONNECTION);
    ASSERT_TRUE(accepted && incoming);

    EXPECT_EQ(accepted->bytes.size(), 1u);
    EXPECT_EQ(accepted->bitSize, 8u);
    EXPECT_EQ(accepted->guid, pair.server->GetMyGUID());
    EXPECT_EQ(accepted->address, At(pair.server->GetBoundPort()));
    EXPECT_EQ(incoming->guid, pair.client->GetMyGUID());
    EXPECT_EQ(incoming->address, At(pair.client->GetBoundPort()));

    EXPECT_EQ(pair.server->NumberOfConnections(), 1u);
    EXPECT_EQ(pair.server->GetSystemAddressFromGuid(pair.client->GetMyGUID()), incoming->address);
    EXPECT_EQ(pair.server->GetGuidFromSystemAddress(incoming->address), pair.client->GetMyGUID());
    EXPECT_TRUE(pair.server->GetSystemAddressFromGuid(Guid(42)).IsUnassigned());

    // A second attempt to the same server is refused.
    EXPECT_EQ(pair.client->Connect("127.0.0.1", pair.server->GetBoundPort(), nullptr, 0),
              Net::ALREADY_CONNECTED_TO_ENDPOINT);
    // Exactly one event on each side: the hello is the library's own.
    pair.serverIn.PumpFor(Ms(50));
    pair.clientIn.PumpFor(Ms(0));
    EXPECT_EQ(pair.serverIn.Ids(), std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION});
    EXPECT_EQ(pair.clientIn.Ids(), std::vector<unsigned char>{Net::ID_CONNECTION_REQUEST_ACCEPTED});
}

TEST(Peer, ConnectRejectsBadHostsWithoutTrying) {
    PeerPtr p = StartPeer(2, 0);
    EXPECT_EQ(p->Connect("", 1000, nullptr, 0), Net::INVALID_PARAMETER);
    EXPECT_EQ(p->Connect(nullptr, 1000, nullptr, 0), Net::INVALID_PARAMETER);
    EXPECT_EQ(p->Connect("no-such-host.invalid", 1000, nullptr, 0), Net::CANNOT_RESOLVE_DOMAIN_NAME);
    PeerPtr idle(Net::Peer::GetInstance());
    EXPECT_EQ(idle->Connect("127.0.0.1", 1000, nullptr, 0), Net::INVALID_PARAMETER);
    Inbox in(p.get());
    in.PumpFor(Ms(20));
    EXPECT_TRUE(in.got.empty());
}

TEST(Peer, MessagesOfEveryReliabilityArriveExactly) {
    Pair pair;
    const Guid serverGuid = pair.server->GetMyGUID();
    const Guid clientGuid = pair.client->GetMyGUID();
    const Net::PacketReliability kinds[] = {Net::UNRELIABLE, Net::UNRELIABLE_SEQUENCED, Net::RELIABLE,
                                            Net::RELIABLE_ORDERED, Net::RELIABLE_SEQUENCED};
    for (Net::PacketReliability r : kinds) {
        SCOPED_TRACE(r);
        const unsigned char id = static_cast<unsigned char>(Net::ID_USER_PACKET_ENUM + r);
        const auto up = Pattern(37, id);
        const auto down = Pattern(1200, id);  // one MTU's worth
        const size_t upFrom = pair.serverIn.got.size(), downFrom = pair.clientIn.got.size();
        EXPECT_NE(SendBytes(pair.client.get(), up, r, 1, serverGuid), 0u);
        EXPECT_NE(SendBytes(pair.server.get(), down, r, static_cast<char>(r * 7), clientGuid), 0u);
        const Msg* atServer = pair.serverIn.WaitId(id, kWait, upFrom);
        const Msg* atClient = pair.clientIn.WaitId(id, kWait, downFrom);
        ASSERT_TRUE(atServer && atClient);
        EXPECT_EQ(atServer->bytes, up);
        EXPECT_EQ(atServer->bitSize, 8u * up.size());
        EXPECT_EQ(atServer->guid, clientGuid);
        EXPECT_EQ(atServer->address, At(pair.client->GetBoundPort()));
        EXPECT_EQ(atClient->bytes, down);
        EXPECT_EQ(atClient->guid, serverGuid);
    }

    // A bit stream goes out as its bytes; reliable ordered keeps the order.
    BitStream s;
    s.Write(static_cast<uint8_t>(200));
    s.Write1();
    EXPECT_NE(pair.client->Send(&s, Net::LOW_PRIORITY, Net::RELIABLE, 0, SystemAddress(At(pair.server->GetBoundPort())),
                                false),
              0u);
    const Msg* bits = pair.serverIn.WaitId(200);
    ASSERT_TRUE(bits);
    EXPECT_EQ(bits->bytes, (std::vector<unsigned char>{200, 0x80}));

    const size_t from = pair.serverIn.got.size();
    for (uint32_t i = 0; i < 200; ++i) {
        BitStream m;
        m.Write(static_cast<uint8_t>(201));
        m.Write(i);
        ASSERT_NE(pair.client->Send(&m, Net::MEDIUM_PRIORITY, Net::RELIABLE_ORDERED, 3, serverGuid, false), 0u);
    }
    ASSERT_TRUE(WaitUntil([&] {
        pair.serverIn.Pump();
        return pair.serverIn.got.size() >= from + 200;
    }));
    for (uint32_t i = 0; i < 200; ++i) {
        BitStream m(pair.serverIn.got[from + i].bytes.data(), pair.serverIn.got[from + i].bytes.size(), false);
        uint8_t id = 0;
        uint32_t v = 0;
        ASSERT_TRUE(m.Read(id) && m.Read(v));
        ASSERT_EQ(v, i);
    }
}

TEST(Peer, SendRefusesWhatItCannotDeliver) {
    Pair pair;
    const Guid to = pair.server->GetMyGUID();
    const std::vector<unsigned char> msg{Net::ID_USER_PACKET_ENUM, 1};
    EXPECT_EQ(SendBytes(pair.client.get(), msg, Net::RELIABLE, 1, Guid(12345)), 0u);          // nobody
    EXPECT_EQ(SendBytes(pair.client.get(), msg, Net::RELIABLE, 1, AddressOrGuid()), 0u);      // no target
    EXPECT_EQ(SendBytes(pair.client.get(), msg, Net::RELIABLE, 32, to), 0u);                  // no channel 32
    EXPECT_EQ(SendBytes(pair.client.get(), msg, Net::RELIABLE, -1, to), 0u);
    EXPECT_EQ(SendBytes(pair.client.get(), {}, Net::RELIABLE, 1, to), 0u);                    // empty
    BitStream empty;
    EXPECT_EQ(pair.client->Send(&empty, Net::HIGH_PRIORITY, Net::RELIABLE, 1, to, false), 0u);
    EXPECT_EQ(pair.client->Send(static_cast<const char*>(nullptr), 4, Net::HIGH_PRIORITY, Net::RELIABLE, 1, to,
                                false),
              0u);
    std::vector<unsigned char> tooBig(Net::MAXIMUM_MESSAGE_SIZE + 1, Net::ID_USER_PACKET_ENUM);
    EXPECT_EQ(SendBytes(pair.client.get(), tooBig, Net::RELIABLE, 1, to), 0u);
    EXPECT_NE(SendBytes(pair.client.get(), msg, Net::RELIABLE, 31, to), 0u);
}

TEST(Peer, BroadcastReachesEveryConnectionButTheNamedOne) {
    PeerPtr server = StartPeer(8, 8);
    Inbox serverIn(server.get());
    std::vector<PeerPtr> clients;
    std::vector<Inbox> ins;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(StartPeer(1, 0));
        ASSERT_EQ(clients.back()->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0),
                  Net::CONNECTION_ATTEMPT_STARTED);
    }
    for (auto& c : clients) {
        ins.emplace_back(c.get());
        ASSERT_NE(ins.back().WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
    }
    ASSERT_TRUE(WaitUntil([&] { return server->NumberOfConnections() == 3; }));

    const std::vector<unsigned char> all{140, 1}, notB{141, 2}, toB{142, 3};
    EXPECT_NE(SendBytes(server.get(), all, Net::RELIABLE, 1, AddressOrGuid(), true), 0u);
    EXPECT_NE(SendBytes(server.get(), notB, Net::RELIABLE, 1, clients[1]->GetMyGUID(), true), 0u);
    // The same channel and reliability: once B has toB, it would have had notB.
    EXPECT_NE(SendBytes(server.get(), toB, Net::RELIABLE, 1, clients[1]->GetMyGUID()), 0u);
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_NE(ins[i].WaitId(140), nullptr);
        if (i == 1) {
            ASSERT_NE(ins[i].WaitId(142), nullptr);
            EXPECT_EQ(ins[i].Count(141), 0u);
        } else {
            ASSERT_NE(ins[i].WaitId(141), nullptr);
            EXPECT_EQ(ins[i].Count(142), 0u);
        }
    }
    // Naming a peer by address works the same way.
    const SystemAddress addressOfC = server->GetSystemAddressFromGuid(clients[2]->GetMyGUID());
    EXPECT_NE(SendBytes(server.get(), {143}, Net::RELIABLE, 1, addressOfC, true), 0u);
    EXPECT_NE(SendBytes(server.get(), {144}, Net::RELIABLE, 1, addressOfC), 0u);
    ASSERT_NE(ins[0].WaitId(143), nullptr);
    ASSERT_NE(ins[2].WaitId(144), nullptr);
    EXPECT_EQ(ins[2].Count(143), 0u);

    // A broadcast that excludes the only connection sends nothing.
    Pair pair;
    EXPECT_EQ(SendBytes(pair.server.get(), {145}, Net::RELIABLE, 1, pair.client->GetMyGUID(), true), 0u);
}

TEST(Peer, FullServerAnswersTwentyAndNothingElse) {
    Pair pair(1);
    PeerPtr late = StartPeer(1, 0);
    Inbox lateIn(late.get());
    ASSERT_EQ(late->Connect("127.0.0.1", pair.server->GetBoundPort(), nullptr, 0, nullptr, 0, 3, 100),
              Net::CONNECTION_ATTEMPT_STARTED);
    const Msg* full = lateIn.WaitId(Net::ID_NO_FREE_INCOMING_CONNECTIONS);
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(full->bytes.size(), 1u);
    EXPECT_EQ(full->address, At(pair.server->GetBoundPort()));
    lateIn.PumpFor(Ms(400));  // beyond all three attempts
    EXPECT_EQ(lateIn.Ids(), std::vector<unsigned char>{Net::ID_NO_FREE_INCOMING_CONNECTIONS});
    pair.serverIn.PumpFor(Ms(0));
    EXPECT_EQ(pair.serverIn.Ids(), std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION});
    EXPECT_EQ(pair.server->NumberOfConnections(), 1u);
}

TEST(Peer, GracefulClosesDeliverTwentyOneOnTheOtherSide) {
    {
        Pair pair;
        pair.client->CloseConnection(pair.server->GetMyGUID(), true);
        const Msg* closed = pair.serverIn.WaitId(Net::ID_DISCONNECTION_NOTIFICATION);
        ASSERT_NE(closed, nullptr);
        EXPECT_EQ(closed->guid, pair.client->GetMyGUID());
        EXPECT_TRUE(WaitUntil([&] { return pair.server->NumberOfConnections() == 0; }));
        pair.clientIn.PumpFor(Ms(50));
        EXPECT_EQ(pair.clientIn.Ids(), std::vector<unsigned char>{Net::ID_CONNECTION_REQUEST_ACCEPTED});
        EXPECT_EQ(pair.client->NumberOfConnections(), 0u);
    }
    {
        // Messages sent just before the close still arrive, ahead of it.
        Pair pair;
        EXPECT_NE(SendBytes(pair.server.get(), Pattern(3000, 150), Net::RELIABLE, 1, pair.client->GetMyGUID()), 0u);
        pair.server->CloseConnection(pair.client->GetMyGUID(), true);
        ASSERT_NE(pair.clientIn.WaitId(Net::ID_DISCONNECTION_NOTIFICATION), nullptr);
        EXPECT_EQ(pair.clientIn.Ids(), (std::vector<unsigned char>{Net::ID_CONNECTION_REQUEST_ACCEPTED, 150,
                                                                    Net::ID_DISCONNECTION_NOTIFICATION}));
    }
    {
        // Shutdown closes every connection gracefully.
        PeerPtr server = StartPeer(4, 4);
        PeerPtr a = StartPeer(1, 0), b = StartPeer(1, 0);
        Inbox ain(a.get()), bin(b.get());
        a->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0);
        b->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0);
        ASSERT_NE(ain.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
        ASSERT_NE(bin.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
        ASSERT_TRUE(WaitUntil([&] { return server->NumberOfConnections() == 2; }));
        server->Shutdown();
        EXPECT_NE(ain.WaitId(Net::ID_DISCONNECTION_NOTIFICATION), nullptr);
        EXPECT_NE(bin.WaitId(Net::ID_DISCONNECTION_NOTIFICATION), nullptr);
        EXPECT_EQ(ain.Count(Net::ID_CONNECTION_LOST), 0u);
    }
}

TEST(Peer, SilentPeerTimesOutWithTwentyTwo) {
    PeerPtr server = StartPeer(4, 4);
    server->SetTimeoutTime(300, Net::UNASSIGNED_SYSTEM_ADDRESS);
    Inbox in(server.get());
    RawClient raw(server->GetBoundPort());
    ASSERT_TRUE(raw.WaitConnected());
    raw.Send(RawClient::Hello(0x0123456789ABCDEFull));
    ASSERT_TRUE(raw.ServiceUntil([&] { return !raw.received.empty(); }));  // the server's hello
    EXPECT_EQ(raw.received[0], RawClient::Hello(server->GetMyGUID().g));
    const Msg* incoming = in.WaitId(Net::ID_NEW_INCOMING_CONNECTION);
    ASSERT_NE(incoming, nullptr);
    EXPECT_EQ(incoming->guid, Guid(0x0123456789ABCDEFull));
    // The raw client stops answering.
    const Msg* lost = in.WaitId(Net::ID_CONNECTION_LOST);
    ASSERT_NE(lost, nullptr);
    EXPECT_EQ(lost->guid, Guid(0x0123456789ABCDEFull));
    EXPECT_EQ(server->NumberOfConnections(), 0u);
}

TEST(Peer, FailedConnectDeliversSeventeenOnce) {
    // A bound UDP socket that never answers.
    const int quiet = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(quiet, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(quiet, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ASSERT_EQ(::getsockname(quiet, reinterpret_cast<sockaddr*>(&a), &len), 0);
    const uint16_t port = ntohs(a.sin_port);

    PeerPtr client = StartPeer(1, 0);
    Inbox in(client.get());
    const auto start = Clock::now();
    ASSERT_EQ(client->Connect("127.0.0.1", port, nullptr, 0, nullptr, 0, 3, 100), Net::CONNECTION_ATTEMPT_STARTED);
    EXPECT_EQ(client->Connect("127.0.0.1", port, nullptr, 0), Net::CONNECTION_ATTEMPT_ALREADY_IN_PROGRESS);
    const Msg* failed = in.WaitId(Net::ID_CONNECTION_ATTEMPT_FAILED);
    ASSERT_NE(failed, nullptr);
    EXPECT_GE(Clock::now() - start, Ms(290));  // three attempts of 100 ms
    EXPECT_EQ(failed->address, At(port));
    in.PumpFor(Ms(200));
    EXPECT_EQ(in.Ids(), std::vector<unsigned char>{Net::ID_CONNECTION_ATTEMPT_FAILED});
    ::close(quiet);
}

namespace {

struct RecordingPlugin : Net::PluginInterface {
    std::atomic<int> updates{0};
    std::vector<unsigned char> seen;                 // ids given to OnReceive
    std::vector<std::pair<Guid, bool>> opened;       // guid, incoming
    std::vector<std::pair<Guid, Net::LostConnectionReason>> closed;
    bool attached = false;
    void OnAttach() override { attached = true; }
    void OnDetach() override { attached = false; }
    void Update() override { ++updates; }
    Net::PluginReceiveResult OnReceive(Net::Packet* p) override {
        seen.push_back(p->data[0]);
        return p->data[0] == 210 || p->data[0] == Net::ID_REPLICA_FIRST ? Net::RR_STOP_PROCESSING_AND_DEALLOCATE
                                                                        : Net::RR_CONTINUE_PROCESSING;
    }
    void OnNewConnection(const SystemAddress&, Guid g, bool incoming) override { opened.emplace_back(g, incoming); }
    void OnClosedConnection(const SystemAddress&, Guid g, Net::LostConnectionReason r) override {
        closed.emplace_back(g, r);
    }
};

}  // namespace

TEST(Peer, PluginsSeeEveryPacketAndConnectionFirst) {
    PeerPtr server = StartPeer(4, 4);
    RecordingPlugin plugin;
    server->AttachPlugin(&plugin);
    EXPECT_TRUE(plugin.attached);
    EXPECT_EQ(plugin.GetPeer(), server.get());

    PeerPtr client = StartPeer(1, 0);
    Inbox serverIn(server.get()), clientIn(client.get());
    client->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0);
    ASSERT_NE(clientIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
    const Guid cg = client->GetMyGUID();
    for (int id : {210, int{Net::ID_REPLICA_FIRST}, int{Net::ID_REPLICA_LAST}, 211})
        SendBytes(client.get(), {static_cast<unsigned char>(id), 0}, Net::RELIABLE_ORDERED, 2, server->GetMyGUID());
    ASSERT_NE(serverIn.WaitId(211), nullptr);
    const int updatesBefore = plugin.updates.load();
    server->Receive();
    EXPECT_EQ(plugin.updates.load(), updatesBefore + 1);

    // The plug-in saw everything; the application only what was neither
    // consumed nor the library's own.
    EXPECT_EQ(plugin.seen, (std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION, 210, Net::ID_REPLICA_FIRST,
                                                        Net::ID_REPLICA_LAST, 211}));
    EXPECT_EQ(serverIn.Ids(), (std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION, 211}));
    ASSERT_EQ(plugin.opened.size(), 1u);
    EXPECT_EQ(plugin.opened[0], std::make_pair(cg, true));

    client->CloseConnection(server->GetMyGUID(), true);
    ASSERT_NE(serverIn.WaitId(Net::ID_DISCONNECTION_NOTIFICATION), nullptr);
    ASSERT_EQ(plugin.closed.size(), 1u);
    EXPECT_EQ(plugin.closed[0], std::make_pair(cg, Net::LCR_DISCONNECTION_NOTIFICATION));

    server->DetachPlugin(&plugin);
    EXPECT_FALSE(plugin.attached);
    const int updates = plugin.updates.load();
    server->Receive();
    EXPECT_EQ(plugin.updates.load(), updates);

    // On the closing side the plug-in hears of its own close.
    RecordingPlugin clientPlugin;
    PeerPtr other = StartPeer(1, 0);
    other->AttachPlugin(&clientPlugin);
    Inbox otherIn(other.get());
    other->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0);
    ASSERT_NE(otherIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
    ASSERT_EQ(clientPlugin.opened.size(), 1u);
    EXPECT_EQ(clientPlugin.opened[0], std::make_pair(server->GetMyGUID(), false));
    other->CloseConnection(server->GetMyGUID(), false);
    otherIn.Pump();
    ASSERT_EQ(clientPlugin.closed.size(), 1u);
    EXPECT_EQ(clientPlugin.closed[0].second, Net::LCR_CLOSED_BY_USER);
    other->DetachPlugin(&clientPlugin);
}

TEST(Peer, LargeReliableMessagesArriveWhole) {
    Pair pair;
    const auto up = Pattern(5 * 1024 * 1024 + 3, 160);
    const auto down = Pattern(Net::MAXIMUM_MESSAGE_SIZE, 161);
    ASSERT_NE(SendBytes(pair.client.get(), up, Net::RELIABLE_ORDERED, 4, pair.server->GetMyGUID()), 0u);
    ASSERT_NE(SendBytes(pair.server.get(), down, Net::RELIABLE, 5, pair.client->GetMyGUID()), 0u);
    const Msg* atServer = pair.serverIn.WaitId(160, Ms(20000));
    const Msg* atClient = pair.clientIn.WaitId(161, Ms(20000));
    ASSERT_TRUE(atServer && atClient);
    EXPECT_TRUE(atServer->bytes == up);
    EXPECT_EQ(atServer->bitSize, 8u * up.size());
    EXPECT_TRUE(atClient->bytes == down);
}

TEST(Peer, AConnectionThatTakesNothingIsLostOnceTooMuchWaitsForIt) {
    // Well before the 10 s time-out: 40 MiB of reliable messages for a
    // client that has stopped answering; another client is served meanwhile.
    Pair pair;
    RawClient raw(pair.server->GetBoundPort());
    ASSERT_TRUE(raw.WaitConnected());
    raw.Send(RawClient::Hello(0x5151));
    ASSERT_TRUE(raw.ServiceUntil([&] { return !raw.received.empty(); }));
    ASSERT_NE(pair.serverIn.WaitId(Net::ID_NEW_INCOMING_CONNECTION, kWait, 1), nullptr);
    raw.ServiceUntil([] { return false; }, Ms(50));  // the acknowledgements go out; then nothing more

    const auto bulk = Pattern(256 * 1024, 170);
    int sent = 0;  // the sends end once the connection is gone
    while (sent < 160 && SendBytes(pair.server.get(), bulk, Net::RELIABLE_ORDERED, 1, Guid(0x5151)) != 0) ++sent;
    EXPECT_GT(sent, 0);
    ASSERT_NE(SendBytes(pair.server.get(), {171}, Net::RELIABLE_ORDERED, 1, pair.client->GetMyGUID()), 0u);
    EXPECT_NE(pair.clientIn.WaitId(171), nullptr);
    const Msg* lost = pair.serverIn.WaitId(Net::ID_CONNECTION_LOST, Ms(3000));
    ASSERT_NE(lost, nullptr);
    EXPECT_EQ(lost->guid, Guid(0x5151));
    EXPECT_EQ(pair.server->NumberOfConnections(), 1u);
}

TEST(Peer, ABacklogOfReliableMessagesArrivesWholeAndInOrder) {
    // Far more than ENet may hold for one connection at a time: they wait
    // and follow in their order, with an unreliable one among them.
    Pair pair;
    constexpr int kCount = 300;
    for (int i = 0; i < kCount; ++i) {
        auto m = Pattern(32 * 1024, 172);
        m[1] = static_cast<unsigned char>(i >> 8);
        m[2] = static_cast<unsigned char>(i);
        ASSERT_NE(SendBytes(pair.server.get(), m, Net::RELIABLE_ORDERED, 2, pair.client->GetMyGUID()), 0u);
        if (i == kCount / 2) SendBytes(pair.server.get(), {173}, Net::UNRELIABLE_SEQUENCED, 2, pair.client->GetMyGUID());
    }
    ASSERT_TRUE(WaitUntil([&] {
        pair.clientIn.Pump();
        return pair.clientIn.Count(172) == size_t{kCount};
    }, Ms(20000)));
    int next = 0;
    for (const Msg& m : pair.clientIn.got) {
        if (m.id() != 172) continue;
        ASSERT_EQ(m.bytes.size(), 32u * 1024u);
        EXPECT_EQ((m.bytes[1] << 8) | m.bytes[2], next);
        ++next;
    }
    EXPECT_EQ(pair.server->NumberOfConnections(), 1u);
}

TEST(Peer, HostileInputIsDroppedWithoutHarm) {
    PeerPtr server = StartPeer(4, 4);
    Inbox in(server.get());

    // Datagrams that are not ENet at all.
    {
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(server->GetBoundPort());
        const unsigned char junk[][8] = {{0}, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, {0x80, 0, 1, 2, 3}};
        for (const auto& j : junk)
            ::sendto(s, j, sizeof j, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::sendto(s, junk[0], 1, 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::close(s);
    }

    RawClient raw(server->GetBoundPort());
    ASSERT_TRUE(raw.WaitConnected());
    // Before the hello: traffic, an empty packet and a fake connection event
    // are dropped; the connection stays.
    raw.Send({Net::ID_USER_PACKET_ENUM, 1, 2}, 1);
    raw.Send({});
    raw.Send({Net::ID_NEW_INCOMING_CONNECTION}, 0, false);
    raw.ServiceUntil([] { return false; }, Ms(50));
    in.Pump();
    EXPECT_TRUE(in.got.empty());
    EXPECT_FALSE(raw.disconnected);
    EXPECT_EQ(server->NumberOfConnections(), 0u);

    // Then a proper hello; the remaining library ids, a repeated hello and
    // fake connection events are dropped, a game message comes through.
    raw.Send(RawClient::Hello(77));
    // The server's hello must be acknowledged, so the raw client keeps servicing.
    ASSERT_TRUE(raw.ServiceUntil([&] {
        in.Pump();
        return in.Count(Net::ID_NEW_INCOMING_CONNECTION) == 1;
    }));
    for (unsigned char id : {0, 1, 5, 16, 19, 21, 22, 50, 59, 129})
        raw.Send({id, 9, 9, 9, 9, 9, 9, 9, 9}, 2);
    raw.Send({Net::ID_USER_PACKET_ENUM, 7}, 2);
    ASSERT_NE(in.WaitId(Net::ID_USER_PACKET_ENUM), nullptr);
    EXPECT_EQ(in.Ids(), (std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION, Net::ID_USER_PACKET_ENUM}));
    EXPECT_EQ(in.got[1].guid, Guid(77));

    // A second connection that claims the same GUID, or the server's own, or
    // none, is never established.
    for (uint64_t g : {uint64_t{77}, server->GetMyGUID().g, Net::UNASSIGNED_GUID.g}) {
        RawClient twin(server->GetBoundPort());
        ASSERT_TRUE(twin.WaitConnected());
        twin.Send(RawClient::Hello(g));
        EXPECT_TRUE(twin.ServiceUntil([&] { return twin.disconnected; })) << g;
    }
    in.Pump();
    EXPECT_EQ(server->NumberOfConnections(), 1u);
    EXPECT_EQ(in.got.size(), 2u);

    // A message beyond the size bound never arrives; the server goes on.
    RawClient big(server->GetBoundPort(), 2 * Net::MAXIMUM_MESSAGE_SIZE);
    ASSERT_TRUE(big.WaitConnected());
    big.Send(RawClient::Hello(78));
    ASSERT_TRUE(big.ServiceUntil([&] {
        in.Pump();
        return in.Count(Net::ID_NEW_INCOMING_CONNECTION) == 2;
    }));
    big.Send(Pattern(Net::MAXIMUM_MESSAGE_SIZE + 1, 170), 1);
    big.ServiceUntil([] { return false; }, Ms(300));
    raw.Send({Net::ID_USER_PACKET_ENUM + 1}, 2);
    ASSERT_NE(in.WaitId(Net::ID_USER_PACKET_ENUM + 1), nullptr);
    EXPECT_EQ(in.Count(170), 0u);
}

TEST(Peer, SendsFromManyThreadsArriveInTheirOrder) {
    Pair pair;
    constexpr int kThreads = 4, kEach = 300;
    const Guid to = pair.server->GetMyGUID();
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (uint32_t i = 0; i < kEach; ++i) {
                BitStream m;
                m.Write(static_cast<uint8_t>(180 + t));
                m.Write(i);
                // Each thread on its own ordered channel; queries meanwhile.
                EXPECT_NE(pair.client->Send(&m, Net::HIGH_PRIORITY, Net::RELIABLE_ORDERED, static_cast<char>(t + 1),
                                            to, false),
                          0u);
                EXPECT_EQ(pair.client->NumberOfConnections(), 1u);
            }
        });
    const bool all = WaitUntil([&] {
        pair.serverIn.Pump();
        return pair.serverIn.got.size() >= 1 + kThreads * kEach;
    });
    for (auto& s : senders) s.join();
    ASSERT_TRUE(all);
    std::vector<uint32_t> next(kThreads, 0);
    for (size_t k = 1; k < pair.serverIn.got.size(); ++k) {
        BitStream m(pair.serverIn.got[k].bytes.data(), pair.serverIn.got[k].bytes.size(), false);
        uint8_t id = 0;
        uint32_t v = 0;
        ASSERT_TRUE(m.Read(id) && m.Read(v));
        ASSERT_GE(id, 180);
        ASSERT_LT(id, 180 + kThreads);
        EXPECT_EQ(v, next[id - 180]++);
    }
}

TEST(Peer, MessageRightBehindTheHelloIsKept) {
    // The raw client sends its hello and a message at once, before it has
    // acknowledged the server's hello: the message shows that it has the
    // connection, so the server establishes it and keeps the message. One
    // longer than a handshake packet is refused by ENet until then, and its
    // ENet sends it again.
    for (size_t length : {size_t{2}, Net::MAXIMUM_HANDSHAKE_MESSAGE_SIZE + 1, size_t{5000}}) {
        SCOPED_TRACE(length);
        PeerPtr server = StartPeer(4, 4);
        Inbox in(server.get());
        RawClient raw(server->GetBoundPort());
        ASSERT_TRUE(raw.WaitConnected());
        raw.Send(RawClient::Hello(99));
        const auto message = Pattern(length, Net::ID_USER_PACKET_ENUM);
        raw.Send(message, 1);
        ASSERT_TRUE(raw.ServiceUntil([&] {
            in.Pump();
            return in.got.size() >= 2;
        }));
        EXPECT_EQ(in.Ids(), (std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION, Net::ID_USER_PACKET_ENUM}));
        EXPECT_EQ(in.got[1].guid, Guid(99));
        EXPECT_EQ(in.got[1].bytes, message);
    }
}

TEST(Peer, MalformedHelloEndsTheConnectionAtOnce) {
    PeerPtr server = StartPeer(4, 4);
    Inbox in(server.get());
    auto longHello = RawClient::Hello(77);
    longHello.push_back(0);
    auto shortHello = RawClient::Hello(77);
    shortHello.pop_back();
    const std::vector<std::vector<unsigned char>> hellos = {
        {Net::ID_NET_HELLO}, shortHello, longHello, RawClient::Hello(Net::UNASSIGNED_GUID.g),
        RawClient::Hello(server->GetMyGUID().g)};
    for (const auto& hello : hellos) {
        SCOPED_TRACE(hello.size());
        RawClient raw(server->GetBoundPort());
        ASSERT_TRUE(raw.WaitConnected());
        raw.Send(hello);
        // Well before the hello deadline would end it anyway.
        EXPECT_TRUE(raw.ServiceUntil([&] { return raw.disconnected; }, Ms(Net::HELLO_TIMEOUT_MS / 2)));
    }
    in.PumpFor(Ms(20));
    EXPECT_TRUE(in.got.empty());
    EXPECT_EQ(server->NumberOfConnections(), 0u);
}

TEST(Peer, ConnectionWithoutHelloIsEndedAfterTheHelloDeadline) {
    PeerPtr server = StartPeer(4, 4);
    Inbox in(server.get());
    RawClient raw(server->GetBoundPort());
    ASSERT_TRUE(raw.WaitConnected());
    const auto start = Clock::now();
    ASSERT_TRUE(raw.ServiceUntil([&] { return raw.disconnected; }, Ms(2 * Net::HELLO_TIMEOUT_MS)));
    EXPECT_GE(Clock::now() - start, Ms(Net::HELLO_TIMEOUT_MS / 2));
    // It had the server's hello, and nothing else.
    EXPECT_EQ(raw.received, std::vector<std::vector<unsigned char>>{RawClient::Hello(server->GetMyGUID().g)});
    in.Pump();
    EXPECT_TRUE(in.got.empty());
}

TEST(Peer, ClientWithFewerChannelsIsRefusedAtConnect) {
    PeerPtr server = StartPeer(4, 4);
    Inbox in(server.get());
    for (size_t channels : {size_t{1}, size_t{Net::NUMBER_OF_ORDERED_STREAMS - 1}}) {
        SCOPED_TRACE(channels);
        RawClient raw(server->GetBoundPort(), 0, channels);
        ASSERT_TRUE(raw.WaitConnected());
        raw.Send(RawClient::Hello(500 + channels));
        EXPECT_TRUE(raw.ServiceUntil([&] { return raw.disconnected; }, Ms(Net::HELLO_TIMEOUT_MS / 2)));
        EXPECT_TRUE(raw.received.empty());  // not even the server's hello
    }
    in.PumpFor(Ms(20));
    EXPECT_TRUE(in.got.empty());
    EXPECT_EQ(server->NumberOfConnections(), 0u);
}

TEST(Peer, HalfOpenConnectionsOfOneHostDoNotKeepAnHonestClientOut) {
    // The game server's limits: 128 connections, all of them incoming.
    PeerPtr server = StartPeer(128, 128);
    Inbox in(server.get());
    HalfOpenFlood flood(server->GetBoundPort(), 128);
    ASSERT_TRUE(WaitUntil([&] { return flood.Connects() >= 128; }));

    PeerPtr honest = StartPeer(1, 0);
    Inbox honestIn(honest.get());
    ASSERT_EQ(honest->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0), Net::CONNECTION_ATTEMPT_STARTED);
    ASSERT_NE(honestIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED, Ms(3000)), nullptr);
    EXPECT_EQ(honestIn.Count(Net::ID_NO_FREE_INCOMING_CONNECTIONS), 0u);
    ASSERT_NE(in.WaitId(Net::ID_NEW_INCOMING_CONNECTION), nullptr);
    EXPECT_EQ(in.got[0].guid, honest->GetMyGUID());
    // The flood's connections were ended as the host opened more of them.
    EXPECT_GT(flood.Ended(), 0u);
    in.PumpFor(Ms(20));
    EXPECT_EQ(in.Ids(), std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION});
    EXPECT_EQ(server->NumberOfConnections(), 1u);
}

// ENet hosts that send their connects once and are never serviced again:
// the peer's verifications of them are never acknowledged.
class SilentConnects {
public:
    SilentConnects(uint16_t port, size_t hosts, size_t connectsPerHost) {
        ENetAddress a{};
        enet_address_set_host_ip(&a, "127.0.0.1");
        a.port = port;
        for (size_t h = 0; h < hosts; ++h) {
            ENetHost* host = enet_host_create(nullptr, connectsPerHost, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
            if (!host) throw std::runtime_error("no ENet host");
            hosts_.push_back(host);
            for (size_t i = 0; i < connectsPerHost; ++i) enet_host_connect(host, &a, Net::NUMBER_OF_ORDERED_STREAMS, 0);
            enet_host_flush(host);
        }
    }
    ~SilentConnects() {
        for (ENetHost* h : hosts_) enet_host_destroy(h);
    }
    SilentConnects(const SilentConnects&) = delete;
    SilentConnects& operator=(const SilentConnects&) = delete;

private:
    std::vector<ENetHost*> hosts_;
};

TEST(Peer, UnansweredConnectsOfOneHostLeaveRoomForOthers) {
    // The game server's limits: ENet has 272 slots. One host asks for 400
    // connections and never answers; ENet would keep each for half a minute.
    PeerPtr server = StartPeer(128, 128);
    Inbox in(server.get());
    SilentConnects flood(server->GetBoundPort(), 1, 400);
    std::this_thread::sleep_for(Ms(50));  // all of them are in

    // Before the flood's connects would end by themselves.
    PeerPtr honest = StartPeer(1, 0);
    Inbox honestIn(honest.get());
    ASSERT_EQ(honest->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0), Net::CONNECTION_ATTEMPT_STARTED);
    ASSERT_NE(honestIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED, Ms(Net::HELLO_TIMEOUT_MS / 2)), nullptr);
    ASSERT_NE(in.WaitId(Net::ID_NEW_INCOMING_CONNECTION), nullptr);
    EXPECT_EQ(in.got[0].guid, honest->GetMyGUID());
    EXPECT_EQ(server->NumberOfConnections(), 1u);
}

TEST(Peer, UnansweredConnectsEndAfterTheHelloTime) {
    // Four connections, so at most two unanswered connects from one address:
    // many hosts of that address take them, and the honest client of the same
    // address gets in once they have ended.
    PeerPtr server = StartPeer(4, 4);
    Inbox in(server.get());
    SilentConnects flood(server->GetBoundPort(), 30, 1);
    std::this_thread::sleep_for(Ms(50));

    PeerPtr honest = StartPeer(1, 0);
    Inbox honestIn(honest.get());
    // Well before ENet's own time-out of such connects (15 s and more).
    ASSERT_EQ(honest->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0, nullptr, 0, 16, 500),
              Net::CONNECTION_ATTEMPT_STARTED);
    ASSERT_NE(honestIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED, Ms(8000)), nullptr);
    EXPECT_EQ(honestIn.Count(Net::ID_CONNECTION_ATTEMPT_FAILED), 0u);
    ASSERT_NE(in.WaitId(Net::ID_NEW_INCOMING_CONNECTION), nullptr);
    EXPECT_EQ(in.got[0].guid, honest->GetMyGUID());
}

TEST(Peer, ConnectionsToldFullOfOneHostLeaveTheAnswerToOthers) {
    // A full server (ENet has 32 slots). One host connects over and over and
    // forgets each connection once ENet has it, so that the server's "full"
    // and disconnection are never acknowledged: each would hold its slot for
    // the reject time-out. (The host's ENet reuses the forgotten slots, and
    // the server's late disconnection of an old connection ends the new one
    // in the same slot, so not every attempt gets through.)
    Pair pair(1);
    ENetHost* host = enet_host_create(nullptr, 4, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
    ASSERT_NE(host, nullptr);
    ENetAddress a{};
    enet_address_set_host_ip(&a, "127.0.0.1");
    a.port = pair.server->GetBoundPort();
    size_t taken = 0;
    for (int i = 0; i < 100; ++i) {
        ENetPeer* peer = enet_host_connect(host, &a, Net::NUMBER_OF_ORDERED_STREAMS, 0);
        ASSERT_NE(peer, nullptr);
        bool connected = false;
        WaitUntil([&] {
            ENetEvent e;
            while (enet_host_service(host, &e, 0) > 0) {
                if (e.type == ENET_EVENT_TYPE_CONNECT && e.peer == peer) connected = true;
                if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
            }
            return connected;
        }, Ms(100));
        taken += connected;
        enet_peer_reset(peer);
    }
    EXPECT_GT(taken, 40u);  // more than the server's free slots

    PeerPtr late = StartPeer(1, 0);
    Inbox lateIn(late.get());
    ASSERT_EQ(late->Connect("127.0.0.1", pair.server->GetBoundPort(), nullptr, 0), Net::CONNECTION_ATTEMPT_STARTED);
    EXPECT_NE(lateIn.WaitId(Net::ID_NO_FREE_INCOMING_CONNECTIONS, Ms(1000)), nullptr);
    EXPECT_EQ(pair.server->NumberOfConnections(), 1u);
    enet_host_destroy(host);
}

TEST(Peer, AFloodingHostGetsItsBudgetAndOthersTheirs) {
    // 64 KiB a second and a burst of 128 KiB from one host.
    constexpr size_t kRate = 64 * 1024, kBurst = 128 * 1024, kSize = 1000, kFlood = 3000;
    PeerPtr server = StartPeer(4, 4);
    server->SetIncomingBudget(kRate, kBurst, 0, 0);
    Inbox in(server.get());
    PeerPtr flooder = StartPeer(1, 0), other = StartPeer(1, 0);
    Inbox flooderIn(flooder.get()), otherIn(other.get());
    for (Net::Peer* p : {flooder.get(), other.get()})
        ASSERT_EQ(p->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0), Net::CONNECTION_ATTEMPT_STARTED);
    ASSERT_NE(flooderIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
    ASSERT_NE(otherIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);
    ASSERT_TRUE(WaitUntil([&] {
        in.Pump();
        return in.Count(Net::ID_NEW_INCOMING_CONNECTION) == 2;
    }));

    // 3 MB of unreliable messages at once, then the other host's message.
    const auto start = Clock::now();
    std::vector<unsigned char> bulk(kSize, 0);
    bulk[0] = 150;
    for (size_t i = 0; i < kFlood; ++i)
        SendBytes(flooder.get(), bulk, Net::UNRELIABLE, 1, server->GetMyGUID());
    ASSERT_NE(SendBytes(other.get(), {151}, Net::RELIABLE_ORDERED, 1, server->GetMyGUID()), 0u);
    ASSERT_NE(in.WaitId(151), nullptr);
    in.PumpFor(Ms(300));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // What the budget lets through, with room for the datagrams' headers.
    const double allowed = (double(kBurst) + double(kRate) * seconds) / double(kSize);
    EXPECT_GT(in.Count(150), 0u);
    EXPECT_LE(double(in.Count(150)), allowed) << seconds << " s";
    EXPECT_LT(in.Count(150), kFlood / 4);
    EXPECT_EQ(server->NumberOfConnections(), 2u);  // no one lost
}

TEST(Peer, ConnectionsInTheExchangeAreBoundedPerHostAndPerAddress) {
    // Four connections: at most two pending from one host, two from one IP.
    PeerPtr server = StartPeer(4, 4);
    Inbox in(server.get());
    // One host: its third exchange replaces its first.
    ENetHost* host = enet_host_create(nullptr, 3, Net::NUMBER_OF_ORDERED_STREAMS, 0, 0);
    ASSERT_NE(host, nullptr);
    ENetAddress a{};
    enet_address_set_host_ip(&a, "127.0.0.1");
    a.port = server->GetBoundPort();
    std::vector<ENetPeer*> peers;
    std::vector<bool> connected(3, false), ended(3, false);
    auto service = [&](const std::function<bool()>& done) {
        return WaitUntil([&] {
            ENetEvent e;
            while (enet_host_service(host, &e, 0) > 0) {
                for (size_t i = 0; i < peers.size(); ++i) {
                    if (e.peer != peers[i]) continue;
                    if (e.type == ENET_EVENT_TYPE_CONNECT) connected[i] = true;
                    if (e.type == ENET_EVENT_TYPE_DISCONNECT) ended[i] = true;
                }
                if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
            }
            return done();
        });
    };
    for (size_t i = 0; i < 3; ++i) {
        peers.push_back(enet_host_connect(host, &a, Net::NUMBER_OF_ORDERED_STREAMS, 0));
        ASSERT_TRUE(service([&] { return connected[i]; })) << i;
    }
    EXPECT_TRUE(service([&] { return ended[0]; }));
    EXPECT_FALSE(ended[1]);
    EXPECT_FALSE(ended[2]);

    // Another host on the same address: the address has two exchanges going.
    RawClient other(server->GetBoundPort());
    ASSERT_TRUE(other.WaitConnected());
    EXPECT_TRUE(other.ServiceUntil([&] { return other.disconnected; }, Ms(Net::HELLO_TIMEOUT_MS / 2)));
    EXPECT_TRUE(other.received.empty());

    // The host's two remaining exchanges complete.
    for (size_t i = 1; i < 3; ++i) {
        const auto hello = RawClient::Hello(600 + i);
        ENetPacket* p = enet_packet_create(hello.data(), hello.size(), ENET_PACKET_FLAG_RELIABLE);
        ASSERT_EQ(enet_peer_send(peers[i], 0, p), 0);
    }
    EXPECT_TRUE(service([&] {
        in.Pump();
        return in.Count(Net::ID_NEW_INCOMING_CONNECTION) == 2;
    }));
    EXPECT_EQ(server->NumberOfConnections(), 2u);
    enet_host_destroy(host);
}

TEST(Peer, HelloIntoAServerThatFilledUpIsAnsweredFull) {
    // One place. A raw client connects but holds its hello back while a
    // Net client takes the place; the pending one does not count against it.
    PeerPtr server = StartPeer(4, 1);
    Inbox in(server.get());
    RawClient raw(server->GetBoundPort());
    ASSERT_TRUE(raw.WaitConnected());
    PeerPtr client = StartPeer(1, 0);
    Inbox clientIn(client.get());
    client->Connect("127.0.0.1", server->GetBoundPort(), nullptr, 0);
    ASSERT_NE(clientIn.WaitId(Net::ID_CONNECTION_REQUEST_ACCEPTED), nullptr);

    raw.Send(RawClient::Hello(700));
    ASSERT_TRUE(raw.ServiceUntil([&] { return raw.disconnected; }));
    EXPECT_EQ(raw.received, (std::vector<std::vector<unsigned char>>{RawClient::Hello(server->GetMyGUID().g),
                                                                     {Net::ID_NO_FREE_INCOMING_CONNECTIONS}}));
    in.PumpFor(Ms(20));
    EXPECT_EQ(in.Ids(), std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION});
    EXPECT_EQ(server->NumberOfConnections(), 1u);
}

TEST(Peer, ClientThatClosesRightAfterTheExchangeIsReportedBothWays) {
    // The client completes the exchange and closes at once: its ENet sends
    // the acknowledgement of the server's hello and the disconnect together
    // (the relay packs them into one datagram). The server reports the
    // connection, then its close.
    PeerPtr server = StartPeer(4, 4);
    Inbox in(server.get());
    HoldingRelay relay(server->GetBoundPort());
    // Everything the server sends after ENet's connect answer waits in the
    // relay: its hello, then the acknowledgement of the client's hello.
    relay.Hold(HoldingRelay::ToClient, 1);
    RawClient raw(relay.Port());
    ASSERT_TRUE(raw.WaitConnected());
    ASSERT_TRUE(WaitUntil([&] { return relay.Held(HoldingRelay::ToClient) > 0; }));
    const size_t heldBeforeHello = relay.Held(HoldingRelay::ToClient);
    raw.Send(RawClient::Hello(800));
    ASSERT_TRUE(WaitUntil([&] { return relay.Held(HoldingRelay::ToClient) > heldBeforeHello; }));
    relay.Hold(HoldingRelay::ToPeer);
    relay.Release(HoldingRelay::ToClient, false);
    ASSERT_TRUE(raw.ServiceUntil([&] { return !raw.received.empty(); }));
    EXPECT_EQ(raw.received[0], RawClient::Hello(server->GetMyGUID().g));
    const size_t held = relay.Held(HoldingRelay::ToPeer);
    enet_peer_disconnect(raw.peer, 1);
    enet_host_flush(raw.host);
    ASSERT_TRUE(WaitUntil([&] { return relay.Held(HoldingRelay::ToPeer) > held; }));
    relay.Release(HoldingRelay::ToPeer, true);

    ASSERT_NE(in.WaitId(Net::ID_DISCONNECTION_NOTIFICATION), nullptr);
    EXPECT_EQ(in.Ids(), (std::vector<unsigned char>{Net::ID_NEW_INCOMING_CONNECTION,
                                                    Net::ID_DISCONNECTION_NOTIFICATION}));
    EXPECT_EQ(in.got[0].guid, Guid(800));
    EXPECT_EQ(in.got[1].guid, Guid(800));
    EXPECT_EQ(server->NumberOfConnections(), 0u);
}

TEST(Peer, MessagesBeyondTheIncomingBoundNeverArrive) {
    Pair pair;
    constexpr size_t kBound = 64 * 1024;
    pair.server->SetMaximumIncomingMessageSize(kBound);
    EXPECT_EQ(pair.server->GetMaximumIncomingMessageSize(), kBound);
    const Guid to = pair.server->GetMyGUID();
    EXPECT_NE(SendBytes(pair.client.get(), Pattern(kBound, 191), Net::RELIABLE, 2, to), 0u);
    const Msg* fits = pair.serverIn.WaitId(191);
    ASSERT_NE(fits, nullptr);
    EXPECT_EQ(fits->bytes.size(), kBound);
    // ENet refuses the larger one, fragment by fragment (its sender keeps
    // trying until the connection times out).
    EXPECT_NE(SendBytes(pair.client.get(), Pattern(kBound + 1, 190), Net::RELIABLE, 1, to), 0u);
    // The bound is the server's to receive; it still sends anything.
    EXPECT_NE(SendBytes(pair.server.get(), Pattern(4 * kBound, 192), Net::RELIABLE, 1, pair.client->GetMyGUID()), 0u);
    EXPECT_NE(pair.clientIn.WaitId(192), nullptr);
    pair.serverIn.PumpFor(Ms(200));
    EXPECT_EQ(pair.serverIn.Count(190), 0u);
    // 0 puts the default back; the least is a handshake packet.
    pair.server->SetMaximumIncomingMessageSize(0);
    EXPECT_EQ(pair.server->GetMaximumIncomingMessageSize(), Net::MAXIMUM_MESSAGE_SIZE);
    pair.server->SetMaximumIncomingMessageSize(1);
    EXPECT_EQ(pair.server->GetMaximumIncomingMessageSize(), Net::MAXIMUM_HANDSHAKE_MESSAGE_SIZE);
}
