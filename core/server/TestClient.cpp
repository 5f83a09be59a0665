#include "core/server/TestClient.h"

#include <cstdio>
#include <thread>

#include "core/GameMessages.h"

namespace Tav {

TestClient::TestClient() {
    client = new Client(this, false);
    for (;;) {
        client->Update();
        std::this_thread::yield();
    }
}

void TestClient::OnPacket(Net::Packet* packet) {
    if (!packet || packet->length == 0 || !packet->data)
        return;
    const char* line = nullptr;
    if (packet->data[0] == Net::ID_CONNECTION_REQUEST_ACCEPTED)
        line = "Our connection request has been accepted.\n";
    else if (packet->data[0] == ID_CHUNK_DATA)
        line = "Chunk received\n";
    if (line) {
        std::fputs(line, stdout);
        std::fflush(stdout);
    }
}

}  // namespace Tav
