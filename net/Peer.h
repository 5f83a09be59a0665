#pragma once
// A network peer over ENet. The peer services its ENet host on a thread of
// its own. Send, Connect, CloseConnection and the queries are safe from any
// thread; Receive and DeallocatePacket are called by one thread at a time,
// which also runs the attached plug-ins. A Send goes on the wire at once (the
// service thread is woken for it), not at the next poll.
//
// Input from the network never allocates beyond what it carries, and what one
// remote host can make the peer hold is bounded:
// - an established connection's message is at most the peer's incoming
//   message size (SetMaximumIncomingMessageSize; ENet refuses larger ones
//   before buffering them), and what it has in reassembly stays below twice
//   that;
// - an incoming connection that is not established yet gets nothing buffered
//   but packets of at most MAXIMUM_HANDSHAKE_MESSAGE_SIZE bytes: its hello,
//   which it must send within HELLO_TIMEOUT_MS of ENet's connect;
// - such "pending" connections are counted apart from established ones and
//   bounded in all, per remote IP address and per remote host (address and
//   port), so that they never keep an honest client out;
// - a malformed hello ends the connection at once; traffic before the hello
//   and the library's own identifiers from the other side are dropped;
// - a connection with fewer than NUMBER_OF_ORDERED_STREAMS ENet channels is
//   ended at ENet's connect (an outgoing one counts as a failed attempt).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "net/BitStream.h"
#include "net/Types.h"

namespace Net {

class PluginInterface;

struct SocketDescriptor {
    uint16_t port = 0;        // 0: any free port
    char hostAddress[32] = {};  // empty: all local interfaces
    SocketDescriptor() = default;
    SocketDescriptor(uint16_t p, const char* host);
};

enum StartupResult {
    STARTED,
    ALREADY_STARTED,
    INVALID_SOCKET_DESCRIPTORS,
    INVALID_MAX_CONNECTIONS,
    SOCKET_FAILED_TO_BIND,
    FAILED_TO_CREATE_NETWORK_THREAD,
};

enum ConnectionAttemptResult {
    CONNECTION_ATTEMPT_STARTED,
    INVALID_PARAMETER,
    CANNOT_RESOLVE_DOMAIN_NAME,
    ALREADY_CONNECTED_TO_ENDPOINT,
    CONNECTION_ATTEMPT_ALREADY_IN_PROGRESS,
    SECURITY_INITIALIZATION_FAILED,
};

class Peer {
public:
    static Peer* GetInstance();
    // Shuts the peer down (gracefully closing every connection) and frees it.
    static void DestroyInstance(Peer* peer);

    StartupResult Startup(unsigned maxConnections, const SocketDescriptor* descriptors,
                          unsigned descriptorCount, int threadPriority = -99999);
    // Closes every connection gracefully (the other sides deliver 21), waits
    // up to blockDurationMs for the closes to go out, stops the service thread.
    void Shutdown(unsigned blockDurationMs = 300);
    bool IsActive() const;

    // Incoming connections beyond this (0 until set) are told the server is
    // full (20) and disconnected. Established connections count, and those
    // whose hello has been taken; one whose hello arrives when the maximum
    // has been reached meanwhile is told the same.
    void SetMaximumIncomingConnections(unsigned count);
    unsigned GetMaximumIncomingConnections() const;

    // The largest message accepted from an established connection, in bytes
    // (MAXIMUM_MESSAGE_SIZE until set; 0 puts that back; at least
    // MAXIMUM_HANDSHAKE_MESSAGE_SIZE). ENet refuses a larger one before it
    // buffers any of it. Sends are not limited by it.
    void SetMaximumIncomingMessageSize(size_t bytes);
    size_t GetMaximumIncomingMessageSize() const;

    // A peer that takes incoming connections reads at most hostBytesPerSecond
    // from one remote host (IP address and port) and ipBytesPerSecond from
    // one IP address, each with a burst (at least 65536 bytes); datagrams
    // beyond either are dropped unread (ENet's reliable data comes again
    // later), except those of at most 128 bytes (acknowledgements, pings),
    // which are read and counted. A rate of 0 sets no bound (the default).
    void SetIncomingBudget(size_t hostBytesPerSecond, size_t hostBurst, size_t ipBytesPerSecond, size_t ipBurst);

    // Starts connecting: sendConnectionAttemptCount ENet connects, each given
    // timeBetweenSendConnectionAttemptsMs; after the last fails the peer
    // delivers ID_CONNECTION_ATTEMPT_FAILED once. The host is resolved here (an
    // empty or unresolvable host fails at once). The password and public key
    // are not used. timeoutTime 0 keeps the peer's time-out.
    ConnectionAttemptResult Connect(const char* host, uint16_t remotePort, const char* passwordData,
                                    int passwordDataLength, void* publicKey = nullptr,
                                    unsigned connectionSocketIndex = 0,
                                    unsigned sendConnectionAttemptCount = 12,
                                    unsigned timeBetweenSendConnectionAttemptsMs = 500,
                                    uint32_t timeoutTime = 0);
    // Closes an established connection (after what was already sent to it):
    // with the notification the other side delivers 21, without it the other
    // side is left to time out (22). Nothing is delivered here; plug-ins hear
    // LCR_CLOSED_BY_USER. A connection attempt to the address is abandoned.
    void CloseConnection(const AddressOrGuid& target, bool sendDisconnectionNotification);

    // Returns 0 when nothing was sent (no established connection to send to,
    // an empty or oversized message, a channel beyond 31), else a send number
    // greater than 0 (forceReceiptNumber when it is not 0). Priority does not
    // change delivery. A broadcast goes to every established connection but
    // the one that the target names.
    uint32_t Send(const BitStream* bitStream, PacketPriority priority, PacketReliability reliability,
                  char orderingChannel, const AddressOrGuid& target, bool broadcast,
                  uint32_t forceReceiptNumber = 0);
    uint32_t Send(const char* data, int length, PacketPriority priority, PacketReliability reliability,
                  char orderingChannel, const AddressOrGuid& target, bool broadcast,
                  uint32_t forceReceiptNumber = 0);

    // The next waiting packet, or null. Runs the plug-ins (see PluginInterface).
    // A packet's data is exactly the message (bitSize = 8 * length), with the
    // sender's address and GUID; give it back with DeallocatePacket.
    Packet* Receive();
    void DeallocatePacket(Packet* packet);

    Guid GetMyGUID() const;
    // The UDP port the peer is bound to (after Startup), 0 before.
    uint16_t GetBoundPort() const;
    // A silent peer counts as lost after this many ms (10000 by default; 0
    // restores that). The unassigned address sets it for every connection,
    // present and future.
    void SetTimeoutTime(uint32_t timeMs, const SystemAddress& target);
    // ENet's keep-alive pings always run, since they are what detects a silent
    // peer; the setting is only recorded.
    void SetOccasionalPing(bool doPing);

    void AttachPlugin(PluginInterface* plugin);
    void DetachPlugin(PluginInterface* plugin);

    unsigned NumberOfConnections() const;
    SystemAddress GetSystemAddressFromGuid(Guid guid) const;
    Guid GetGuidFromSystemAddress(const SystemAddress& address) const;

    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    struct Impl;

private:
    Peer();
    ~Peer();
    std::unique_ptr<Impl> impl_;
};

// The largest message, in bytes, that a peer accepts or sends.
inline constexpr size_t MAXIMUM_MESSAGE_SIZE = 16u * 1024u * 1024u;

// An incoming connection that has not completed the hello exchange this long
// after ENet's connect is ended.
inline constexpr uint32_t HELLO_TIMEOUT_MS = 2000;
// Until an incoming connection is established, ENet takes no packet longer
// than this from it (the hello is 9 bytes).
inline constexpr size_t MAXIMUM_HANDSHAKE_MESSAGE_SIZE = 64;
// Incoming connections still in the hello exchange, at most: from one remote
// host (address and port; a further one replaces that host's oldest), from
// one IP address (half of the peer's maximum connections, at least
// MAXIMUM_PENDING_PER_HOST), and in all (the peer's maximum connections).
// Beyond the last two a new connection is ended at once, without an answer.
// The same bounds per host and per IP address hold for connections whose
// ENet connect is not yet acknowledged (they end after HELLO_TIMEOUT_MS), and
// for those being told that the peer is full.
inline constexpr unsigned MAXIMUM_PENDING_PER_HOST = 2;

}  // namespace Net
