#pragma once
// Builders of the game messages that clients send, for the end-to-end tests.
#include <cstdint>
#include <string>
#include <vector>

#include "core/GameMessages.h"
#include "entities/PlayerInput.h"
#include "math/Vector3i.h"
#include "net/BitStream.h"

namespace TavTest {

inline Net::BitStream ChunkRequest(const std::vector<Tav::Vector3i>& coordinates) {
    Net::BitStream m;
    m.Write(static_cast<uint8_t>(Tav::ID_REQUEST_CHUNKS));
    m.Write(static_cast<int32_t>(coordinates.size()));
    for (const auto& c : coordinates) {
        m.Write(c.x);
        m.Write(c.y);
        m.Write(c.z);
    }
    return m;
}

inline Net::BitStream PlaceBrick(const Tav::Vector3i& at, uint8_t type, uint8_t rotation, uint8_t colour) {
    Net::BitStream m;
    m.Write(static_cast<uint8_t>(Tav::ID_PLACE_BRICK));
    m.Write(at.x);
    m.Write(at.y);
    m.Write(at.z);
    m.Write(type);
    m.Write(rotation);
    m.Write(colour);
    return m;
}

inline Net::BitStream RemoveBrick(const Tav::Vector3i& at) {
    Net::BitStream m;
    m.Write(static_cast<uint8_t>(Tav::ID_REMOVE_BRICK));
    m.Write(at.x);
    m.Write(at.y);
    m.Write(at.z);
    return m;
}

inline Net::BitStream ServerCommand(const std::string& text) {
    Net::BitStream m;
    m.Write(static_cast<uint8_t>(Tav::ID_SERVER_COMMAND));
    m.Write(static_cast<uint32_t>(text.size()));
    m.WriteBytes(text.data(), text.size());
    return m;
}

inline Net::BitStream InputMessage(const Tav::PlayerInput& input) {
    Net::BitStream m;
    m.Write(static_cast<uint8_t>(Tav::ID_PLAYER_INPUT));
    input.Serialize(&m);
    return m;
}

}  // namespace TavTest
