#pragma once
#include "net/Types.h"

namespace Tav {

// Receiver of every packet that the endpoint takes from its peer. The packet
// stays the caller's: it is released after the call.
class IClientCallback {
public:
    virtual ~IClientCallback() = default;
    virtual void OnPacket(Net::Packet* packet) = 0;
};

}  // namespace Tav
