#pragma once
// One input of a client: the body of ID_PLAYER_INPUT and part of a player's
// serialisation.
//
// Wire form (454 bits, no alignment): double time, three doubles move x, y, z,
// three doubles facing x, y, z (all big-endian), then six single bits jump,
// run, button0, button1, button2, button3.
#include "math/Vector3.h"
#include "net/BitStream.h"

namespace Tav {

struct PlayerInput {
    double time = 0.0;                   // seconds on the sender's clock
    Vector3 facing{0.0, 0.0, 0.0};       // where the player looks
    Vector3 move{0.0, 0.0, 0.0};         // x: along the facing, y: sideways
    bool button0 = false;
    bool button1 = false;
    bool button2 = false;
    bool button3 = false;
    bool jump = false;
    bool run = false;

    void Serialize(Net::BitStream* out) const;
    // Reads the seven doubles (each one the stream does not hold stays as it
    // was), then each flag only while a bit remains; a flag without a bit
    // keeps its value.
    void Deserialize(Net::BitStream* in);
};

}  // namespace Tav
