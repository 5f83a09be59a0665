// The network endpoint over real UDP on 127.0.0.1 (the server endpoint on
// an ephemeral port), with the program's allocation hooks installed so that
// whatever an endpoint leaves behind shows up as live blocks.
#include "core/server/Client.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "core/AllocationHooks.h"
#include "net/Allocation.h"

namespace {

using namespace std::chrono_literals;

// Installed before main, so before the first allocation of the network library.
const bool kHooksInstalled = [] {
    Tav::InstallNetHooks();
    return true;
}();

class Recorder : public Tav::IClientCallback {
public:
    void OnPacket(Net::Packet* packet) override {
        ids.push_back(packet->data[0]);
        guids.push_back(packet->guid);
    }
    bool Saw(unsigned char id) const {
        for (auto i : ids)
            if (i == id)
                return true;
        return false;
    }
    std::vector<unsigned char> ids;
    std::vector<Net::Guid> guids;
};

// Drains the endpoints until pred holds or the deadline passes.
template <class Pred>
bool PumpUntil(const std::vector<Tav::Client*>& endpoints, Pred pred, std::chrono::milliseconds deadline = 20s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < end) {
        for (auto* e : endpoints)
            e->Update();
        if (pred())
            return true;
        std::this_thread::sleep_for(1ms);
    }
    return false;
}

// Runs each test in a temporary working folder (the client endpoint reads
// "connection.cfg" from there).
class Endpoint : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(kHooksInstalled);
        previous_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("tav-endpoint-" + std::to_string(::getpid()) + "-" +
                testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(previous_);
        std::filesystem::remove_all(dir_);
    }
    static void WriteConfig(const std::string& text) { std::ofstream("connection.cfg") << text; }

    std::filesystem::path previous_;
    std::filesystem::path dir_;
};

TEST_F(Endpoint, ServerHostIsTheFirstWordOfTheFile) {
    struct Case {
        const char* text;  // null: no file
        const char* host;
    };
    const Case cases[] = {
        {"127.0.0.1 further words\nsecond line\n", "127.0.0.1"},
        {" \t\n  game.example.org\tx", "game.example.org"},
        {"localhost", "localhost"},
        {"", ""},
        {" \n\t \n", ""},
        {nullptr, ""},
    };
    for (const Case& c : cases) {
        std::filesystem::remove("connection.cfg");
        if (c.text)
            WriteConfig(c.text);
        EXPECT_EQ(Tav::Client::ReadServerHost(), c.host) << (c.text ? c.text : "(no file)");
    }
}

TEST_F(Endpoint, ClientReachesTheServerNamedInTheFileAndHearsItClose) {
    const auto baseline = Tav::NetLiveBlocks();
    {
        Recorder serverSide, clientSide;
        auto server = std::make_unique<Tav::Client>(&serverSide, true, 0);
        EXPECT_TRUE(server->IsServer());
        EXPECT_FALSE(server->GetMyGUID().IsUnassigned());
        EXPECT_EQ(server->GetMyGUID(), server->GetPeer()->GetMyGUID());
        const uint16_t port = server->GetPeer()->GetBoundPort();
        ASSERT_NE(port, 0);

        // The words after the host are ignored.
        WriteConfig("127.0.0.1 is the host, not these words\n");
        auto client = std::make_unique<Tav::Client>(&clientSide, false, port);
        EXPECT_FALSE(client->IsServer());
        EXPECT_NE(client->GetMyGUID(), server->GetMyGUID());

        ASSERT_TRUE(PumpUntil({server.get(), client.get()}, [&] {
            return serverSide.Saw(Net::ID_NEW_INCOMING_CONNECTION) &&
                   clientSide.Saw(Net::ID_CONNECTION_REQUEST_ACCEPTED);
        }));
        EXPECT_EQ(serverSide.guids.front(), client->GetMyGUID());
        EXPECT_EQ(clientSide.guids.front(), server->GetMyGUID());
        EXPECT_EQ(server->GetReplicaManager()->GetConnectionCount(), 1u);
        // The network library allocates through the installed hooks.
        EXPECT_GT(Tav::NetLiveBlocks().size(), baseline.size());

        // Destroying the server endpoint closes its peer's connections.
        server.reset();
        ASSERT_TRUE(PumpUntil({client.get()}, [&] { return clientSide.Saw(Net::ID_DISCONNECTION_NOTIFICATION); }));

        // Its port is free again: nothing of the old peer holds it.
        Recorder again;
        Tav::Client second(&again, true, port);
        EXPECT_EQ(second.GetPeer()->GetBoundPort(), port);
    }
    // Each endpoint made one peer and gave everything back.
    EXPECT_EQ(Tav::NetLiveBlocks(), baseline);
}

TEST_F(Endpoint, ConstructionsMakeOnlyTheTwoEntityTypesByExactName) {
    Recorder listener;
    Tav::Client server(&listener, true, 0);
    Tav::ConnectionImpl connection(Net::SystemAddress(0x7F000001, 1234), Net::Guid(42), &server);
    EXPECT_EQ(connection.owner, &server);

    struct Case {
        const char* name;  // null: a stream too short to hold a name
        bool made;
    };
    const Case cases[] = {
        {"Player", true}, {"PhysicsEntity", true}, {"player", false},
        {"Player ", false}, {"", false}, {nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(unreadable)");
        Net::BitStream stream;
        if (c.name)
            Net::String(c.name).Serialize(&stream);
        else
            stream.Write(static_cast<uint8_t>(7));  // half a length
        Net::Replica* replica = connection.AllocReplica(&stream, server.GetReplicaManager());
        EXPECT_EQ(replica != nullptr, c.made);
        delete replica;
    }
}

TEST_F(Endpoint, ReplicaManagerMakesConnectionsOfItsEndpoint) {
    Recorder listener;
    Tav::Client server(&listener, true, 0);
    Tav::ReplicaManagerImpl* manager = server.GetReplicaManager();
    ASSERT_NE(manager, nullptr);
    EXPECT_EQ(manager->owner, &server);
    Net::Connection* c = manager->AllocConnection(Net::SystemAddress(0x7F000001, 99), Net::Guid(7));
    ASSERT_NE(dynamic_cast<Tav::ConnectionImpl*>(c), nullptr);
    EXPECT_EQ(static_cast<Tav::ConnectionImpl*>(c)->owner, &server);
    EXPECT_EQ(c->GetGuid(), Net::Guid(7));
    manager->DeallocConnection(c);
    manager->DeallocConnection(nullptr);  // ignored
}

}  // namespace

TEST_F(Endpoint, ServerTakesClientMessagesUpToItsBoundOnly) {
    Recorder serverSide, clientSide;
    Tav::Client server(&serverSide, true, 0);
    WriteConfig("127.0.0.1\n");
    Tav::Client client(&clientSide, false, server.GetPeer()->GetBoundPort());
    ASSERT_TRUE(PumpUntil({&server, &client}, [&] { return serverSide.Saw(Net::ID_NEW_INCOMING_CONNECTION); }));

    auto send = [](Tav::Client& from, Net::Guid to, size_t bytes, unsigned char id) {
        std::vector<char> message(bytes, 0);
        message[0] = static_cast<char>(id);
        return from.GetPeer()->Send(message.data(), static_cast<int>(bytes), Net::HIGH_PRIORITY, Net::RELIABLE, 1,
                                    to, false);
    };
    // The largest message a client may send arrives; one byte more never
    // does. What the server sends is not bounded by it.
    ASSERT_NE(send(client, server.GetMyGUID(), Tav::kMaxClientMessageBytes, 200), 0u);
    ASSERT_TRUE(PumpUntil({&server, &client}, [&] { return serverSide.Saw(200); }));
    ASSERT_NE(send(client, server.GetMyGUID(), Tav::kMaxClientMessageBytes + 1, 201), 0u);
    ASSERT_NE(send(server, client.GetMyGUID(), 2 * Tav::kMaxClientMessageBytes, 202), 0u);
    ASSERT_TRUE(PumpUntil({&server, &client}, [&] { return clientSide.Saw(202); }));
    PumpUntil({&server, &client}, [] { return false; }, 300ms);
    EXPECT_FALSE(serverSide.Saw(201));
}
