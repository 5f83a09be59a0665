#include "core/server/Client.h"

#include <cstdio>
#include <fstream>

#include "entities/BaseEntity.h"
#include "entities/EntityManager.h"

namespace Tav {

// ---------------------------------------------------------------- connections

ConnectionImpl::ConnectionImpl(const Net::SystemAddress& address, Net::Guid guid, Client* owner_)
    : Net::Connection(address, guid), owner(owner_) {}

ConnectionImpl::~ConnectionImpl() = default;

Net::Replica* ConnectionImpl::AllocReplica(Net::BitStream* allocationIdBitstream, Net::ReplicaManager*) {
    Net::String typeName;
    if (!allocationIdBitstream || !typeName.Deserialize(allocationIdBitstream))
        typeName = Net::String();  // unreadable: the empty name, which makes nothing
    // Exactly "Player" or "PhysicsEntity"; any other name makes nothing and
    // the construction is ignored.
    return g_entityManager.CreateByTypeName(typeName.C_String(), owner);
}

ReplicaManagerImpl::ReplicaManagerImpl(Client* owner_) : owner(owner_) {}

ReplicaManagerImpl::~ReplicaManagerImpl() = default;

Net::Connection* ReplicaManagerImpl::AllocConnection(const Net::SystemAddress& address, Net::Guid guid) const {
    return new ConnectionImpl(address, guid, owner);
}

void ReplicaManagerImpl::DeallocConnection(Net::Connection* connection) const { delete connection; }

// ------------------------------------------------------------------ endpoint

Client::Client(IClientCallback* listener_, bool isServer_, uint16_t port) : isServer(isServer_), listener(listener_) {
    replicaManager = new ReplicaManagerImpl(this);
    peer = Net::Peer::GetInstance();
    replicaManager->SetNetworkIdManager(&networkIdManager);
    if (isServer) {
        Net::SocketDescriptor descriptor(port, "");
        peer->Startup(kMaxConnections, &descriptor, 1, -99999);
        peer->AttachPlugin(replicaManager);
        peer->SetMaximumIncomingConnections(kMaxConnections);
        peer->SetMaximumIncomingMessageSize(kMaxClientMessageBytes);
        peer->SetIncomingBudget(kClientBytesPerSecond, kClientBurstBytes, kAddressBytesPerSecond, kAddressBurstBytes);
        peer->SetTimeoutTime(kConnectionTimeoutMs, Net::UNASSIGNED_SYSTEM_ADDRESS);
    } else {
        Net::SocketDescriptor descriptor(0, "");
        peer->Startup(1, &descriptor, 1, -99999);
        peer->AttachPlugin(replicaManager);
        const std::string host = ReadServerHost();
        peer->Connect(host.c_str(), port, nullptr, 0, nullptr, 0, 12, 500, 0);
        peer->SetOccasionalPing(true);
    }
    replicaManager->SetAutoManageConnections(true, true);
}

Client::~Client() {
    peer->DetachPlugin(replicaManager);
    Net::Peer::DestroyInstance(peer);
    peer = nullptr;
    delete replicaManager;
    replicaManager = nullptr;
}

Net::Guid Client::GetMyGUID() { return peer->GetMyGUID(); }

bool Client::IsServer() { return isServer; }

void Client::Update() {
    for (Net::Packet* p = peer->Receive(); p; p = peer->Receive()) {
        PrintConnectionEvent(p, isServer);
        if (listener)
            listener->OnPacket(p);
        peer->DeallocatePacket(p);
    }
}

std::string Client::ReadServerHost(const std::string& path) {
    std::ifstream in(path);
    std::string word;
    if (!in || !(in >> word))
        return std::string();
    return word;
}

const char* Client::ConnectionEventLine(unsigned char id, bool isServer) {
    switch (id) {
    case Net::ID_CONNECTION_REQUEST_ACCEPTED:
        return "Our connection request has been accepted.\n";
    case Net::ID_NEW_INCOMING_CONNECTION:
        return "A connection is incoming.\n";
    case Net::ID_NO_FREE_INCOMING_CONNECTIONS:
        return "The server is full.\n";
    case Net::ID_DISCONNECTION_NOTIFICATION:
        return isServer ? "A client has disconnected.\n" : "We have been disconnected.\n";
    case Net::ID_CONNECTION_LOST:
        return isServer ? "A client lost the connection.\n" : "Connection lost.\n";
    case Net::ID_REMOTE_DISCONNECTION_NOTIFICATION:
        return "Another client has disconnected.\n";
    case Net::ID_REMOTE_CONNECTION_LOST:
        return "Another client has lost the connection.\n";
    case Net::ID_REMOTE_NEW_INCOMING_CONNECTION:
        return "Another client has connected.\n";
    default:
        return nullptr;
    }
}

void Client::PrintConnectionEvent(const Net::Packet* packet, bool isServer) {
    if (!packet || packet->length == 0 || !packet->data)
        return;
    if (const char* line = ConnectionEventLine(packet->data[0], isServer)) {
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
}

}  // namespace Tav
