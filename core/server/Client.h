#pragma once
// The program's network endpoint, in both modes: the server listens on UDP
// port 37373 for up to 128 peers; the test client connects to the host named
// in "connection.cfg". The endpoint owns the peer, the network-identifier
// manager and the replica manager, whose connections turn the type names of
// arriving constructions into entities.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/IClientCallback.h"
#include "core/INetworkProperties.h"
#include "net/Peer.h"
#include "net/ReplicaManager.h"
#include "net/Types.h"

namespace Tav {

class Client;

inline constexpr uint16_t kServerPort = 37373;
inline constexpr unsigned kMaxConnections = 128;
inline constexpr uint32_t kConnectionTimeoutMs = 10000;
// The largest message the server takes from a client. The largest it needs:
// a design of the largest size the import reads (4 MiB of LXFML) sent as
// Base64 text in a command line, 5.34 MiB; every other message from a client
// is far smaller (a chunk request of 1024 coordinates is 12293 bytes). What
// one connection can have in reassembly stays below twice this.
inline constexpr size_t kMaxClientMessageBytes = 6u * 1024u * 1024u;
// What the server reads from one remote host, and from one IP address, a
// second and in a burst. An honest client sends a few KiB a second; a burst
// holds the largest message whole. Beyond them datagrams are dropped unread,
// so that a flood cannot take the network library's thread from the others.
inline constexpr size_t kClientBytesPerSecond = 1u * 1024u * 1024u;
inline constexpr size_t kClientBurstBytes = 8u * 1024u * 1024u;
inline constexpr size_t kAddressBytesPerSecond = 16u * 1024u * 1024u;
inline constexpr size_t kAddressBurstBytes = 48u * 1024u * 1024u;

// One connected peer as the replica manager sees it.
class ConnectionImpl : public Net::Connection {
public:
    ConnectionImpl(const Net::SystemAddress& address, Net::Guid guid, Client* owner);
    ~ConnectionImpl() override;
    // Reads the entity's type name and makes the entity; null (nothing is
    // constructed) for an unknown name or an unreadable one.
    Net::Replica* AllocReplica(Net::BitStream* allocationIdBitstream, Net::ReplicaManager* replicaManager) override;

    Client* owner;
};

class ReplicaManagerImpl : public Net::ReplicaManager {
public:
    explicit ReplicaManagerImpl(Client* owner);
    ~ReplicaManagerImpl() override;
    Net::Connection* AllocConnection(const Net::SystemAddress& address, Net::Guid guid) const override;
    void DeallocConnection(Net::Connection* connection) const override;

    Client* owner;
};

class Client : public INetworkProperties {
public:
    // Constructed = started: a server endpoint listens on port, a client
    // endpoint connects to the host of "connection.cfg" on port. The port
    // other than 37373 is for tests (0 lets a server take any free port).
    Client(IClientCallback* listener, bool isServer, uint16_t port = kServerPort);
    // Detaches the replica manager, destroys the peer (closing every
    // connection), then the replica manager.
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    Net::Guid GetMyGUID() override;
    bool IsServer() override;

    // One drain of the peer: for every waiting packet, prints its
    // connection-event line, hands it to the listener and releases it.
    void Update();

    Net::Peer* GetPeer() const { return peer; }
    ReplicaManagerImpl* GetReplicaManager() const { return replicaManager; }
    IClientCallback* GetListener() const { return listener; }

    // The first word of the file (leading white space skipped); empty when
    // the file cannot be read or holds no word.
    static std::string ReadServerHost(const std::string& path = "connection.cfg");
    // The console line for a connection event, or null when the identifier
    // has none.
    static const char* ConnectionEventLine(unsigned char id, bool isServer);
    // Prints the line of the packet's identifier, if it has one.
    static void PrintConnectionEvent(const Net::Packet* packet, bool isServer);

    const bool isServer;
    IClientCallback* const listener;
    Net::Peer* peer = nullptr;
    Net::NetworkIdManager networkIdManager;
    ReplicaManagerImpl* replicaManager = nullptr;
};

}  // namespace Tav
