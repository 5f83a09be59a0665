#pragma once
// Plug-ins of a peer. A plug-in is driven from Peer::Receive, on the thread
// that calls it: Update once per call, OnReceive for every packet before the
// application sees it (the library's own messages included), and the
// connection callbacks when a connection is established or ends.
#include "net/Types.h"

namespace Net {

class Peer;

enum PluginReceiveResult {
    RR_STOP_PROCESSING_AND_DEALLOCATE,  // consumed: the peer releases the packet
    RR_CONTINUE_PROCESSING,             // pass it on (to later plug-ins, then the application)
};

enum LostConnectionReason {
    LCR_CLOSED_BY_USER,           // we closed it
    LCR_DISCONNECTION_NOTIFICATION,  // the other side closed it (21)
    LCR_CONNECTION_LOST,          // time-out (22)
};

class PluginInterface {
public:
    virtual ~PluginInterface() = default;
    virtual void OnAttach() {}
    virtual void OnDetach() {}
    virtual void Update() {}
    virtual PluginReceiveResult OnReceive(Packet* packet) { return RR_CONTINUE_PROCESSING; }
    virtual void OnNewConnection(const SystemAddress& address, Guid guid, bool isIncoming) {}
    virtual void OnClosedConnection(const SystemAddress& address, Guid guid, LostConnectionReason reason) {}
    // The peer is shutting down; every connection is about to close.
    virtual void OnPeerShutdown() {}

    Peer* GetPeer() const { return peer_; }

private:
    friend class Peer;
    Peer* peer_ = nullptr;
};

}  // namespace Net
