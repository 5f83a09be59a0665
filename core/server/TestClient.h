#pragma once
// The program's second mode: a peer that connects to the server named in
// "connection.cfg" and reports on the console what reaches it.
#include "core/IClientCallback.h"
#include "core/server/Client.h"

namespace Tav {

class TestClient : public IClientCallback {
public:
    // Creates the endpoint and runs the client loop; never returns.
    TestClient();
    void OnPacket(Net::Packet* packet) override;

    Client* client = nullptr;  // never freed: the process ends with it
};

}  // namespace Tav
