#pragma once
// Plain UDP sockets on 127.0.0.1 for the tests' relays.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <stdexcept>

namespace TavTest {

inline sockaddr_in LoopbackAddress(uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A UDP socket bound to a free port of 127.0.0.1; throws when that fails.
inline int BindLoopbackUdp()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = LoopbackAddress(0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("relay: bind failed");
    return fd;
}

}  // namespace TavTest
