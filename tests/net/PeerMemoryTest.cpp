// What hostile connections can make a peer hold, measured as the peak
// resident memory of a server peer in a child process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "NetTestUtil.h"

using namespace NetTest;

namespace {

// The peak resident set of a process, in bytes (VmHWM).
long PeakResidentBytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6)) * 1024;
    return -1;
}

// A server peer in a child process, made before this process has any other
// thread. It serves (receiving and releasing every packet) until the pipe to
// it is closed.
class ChildServer {
public:
    explicit ChildServer(size_t incomingMessageBound) {
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            Serve(toChild[0], toParent[1], incomingMessageBound);
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        control_ = toChild[1];
        if (::read(toParent[0], &port_, sizeof port_) != static_cast<ssize_t>(sizeof port_)) port_ = 0;
        ::close(toParent[0]);
    }
    ~ChildServer() {
        ::close(control_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    pid_t Pid() const { return pid_; }
    uint16_t Port() const { return port_; }
    bool Alive() const { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }

private:
    [[noreturn]] static void Serve(int control, int report, size_t bound) {
        Net::Peer* server = Net::Peer::GetInstance();
        Net::SocketDescriptor sd(0, "127.0.0.1");
        server->Startup(16, &sd, 1);
        server->SetMaximumIncomingConnections(16);
        server->SetMaximumIncomingMessageSize(bound);
        const uint16_t port = server->GetBoundPort();
        if (::write(report, &port, sizeof port) != static_cast<ssize_t>(sizeof port)) ::_exit(1);
        for (;;) {
            while (Net::Packet* p = server->Receive()) server->DeallocatePacket(p);
            pollfd fd{control, POLLIN, 0};
            if (::poll(&fd, 1, 1) > 0) break;  // closed
        }
        Net::Peer::DestroyInstance(server);
        ::_exit(0);
    }

    pid_t pid_ = -1;
    int control_ = -1;
    uint16_t port_ = 0;
};

}  // namespace

TEST(PeerMemory, HostileConnectionsCannotMakeTheServerBuffer) {
    constexpr size_t kBound = 1024 * 1024;
    ChildServer server(kBound);
    ASSERT_NE(server.Port(), 0);

    // Four connections that never send their hello, and two established
    // ones; each of them then sends one 16 MiB message.
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<RawClient>(server.Port(), 2 * Net::MAXIMUM_MESSAGE_SIZE));
        ASSERT_TRUE(clients.back()->WaitConnected());
    }
    for (int i = 4; i < 6; ++i) {
        RawClient& c = *clients[i];
        c.Send(RawClient::Hello(900 + i));
        // Established once the server's hello is in and acknowledged.
        ASSERT_TRUE(c.ServiceUntil([&] { return !c.received.empty(); }));
        c.ServiceUntil([] { return false; }, Ms(20));
    }
    const long before = PeakResidentBytes(server.Pid());
    ASSERT_GT(before, 0);

    std::vector<unsigned char> big(Net::MAXIMUM_MESSAGE_SIZE, 0);
    big[0] = Net::ID_USER_PACKET_ENUM;
    for (auto& c : clients) c->Send(big, 1);
    // Keep every client sending for a while (short of the hello deadline,
    // which would end the pending ones).
    const auto until = Clock::now() + Ms(Net::HELLO_TIMEOUT_MS * 3 / 4);
    while (Clock::now() < until)
        for (auto& c : clients) {
            ENetEvent e;
            while (enet_host_service(c->host, &e, 0) > 0)
                if (e.type == ENET_EVENT_TYPE_RECEIVE) enet_packet_destroy(e.packet);
        }

    const long after = PeakResidentBytes(server.Pid());
    EXPECT_TRUE(server.Alive());
    // 6 × 16 MiB were offered; the server's peak grew by a few pages at most.
    EXPECT_LT(after - before, 4L * 1024 * 1024) << "peak resident memory " << before << " -> " << after;
}
