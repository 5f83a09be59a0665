#pragma once
#include "net/Types.h"

namespace Tav {

// What an entity may ask of the network endpoint of its process.
class INetworkProperties {
public:
    virtual ~INetworkProperties() = default;
    virtual Net::Guid GetMyGUID() = 0;
    virtual bool IsServer() = 0;
};

}  // namespace Tav
