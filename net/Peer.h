#pragma once
// A network peer over ENet. The peer services its ENet host on a thread of
// its own. Send, Connect, CloseConnection and the queries are safe from any
// thread; Receive and DeallocatePacket are called by one thread at a time,
// which also runs the attached plug-ins.
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

    void SetMaximumIncomingConnections(unsigned count);
    unsigned GetMaximumIncomingConnections() const;

    ConnectionAttemptResult Connect(const char* host, uint16_t remotePort, const char* passwordData,
                                    int passwordDataLength, void* publicKey = nullptr,
                                    unsigned connectionSocketIndex = 0,
                                    unsigned sendConnectionAttemptCount = 12,
                                    unsigned timeBetweenSendConnectionAttemptsMs = 500,
                                    uint32_t timeoutTime = 0);
    void CloseConnection(const AddressOrGuid& target, bool sendDisconnectionNotification);

    // Returns 0 when nothing was sent (no such peer, empty stream), else a
    // send number greater than 0.
    uint32_t Send(const BitStream* bitStream, PacketPriority priority, PacketReliability reliability,
                  char orderingChannel, const AddressOrGuid& target, bool broadcast,
                  uint32_t forceReceiptNumber = 0);
    uint32_t Send(const char* data, int length, PacketPriority priority, PacketReliability reliability,
                  char orderingChannel, const AddressOrGuid& target, bool broadcast,
                  uint32_t forceReceiptNumber = 0);

    // The next waiting packet, or null. Runs the plug-ins (see PluginInterface).
    Packet* Receive();
    void DeallocatePacket(Packet* packet);

    Guid GetMyGUID() const;
    // The UDP port the peer is bound to (after Startup), 0 before.
    uint16_t GetBoundPort() const;
    // A silent peer counts as lost after this many ms. The unassigned address
    // sets it for every connection, present and future.
    void SetTimeoutTime(uint32_t timeMs, const SystemAddress& target);
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

}  // namespace Net
